// The compiler's output: a JSON-like tree (null, bool, int, float, str, list,
// ordered dict) that the binding turns into plain Python objects. A numeric
// array read from the data is kept flat (Numbers) and becomes nested lists
// only in Python.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tavro::kelm {

struct Value;
using List = std::vector<Value>;
using Dict = std::vector<std::pair<std::string, Value>>;  // insertion order is the key order

// An int or float array of any rank, row-major: the nested lists of its
// shape, one number per innermost item.
struct Numbers {
    bool is_int = false;
    std::vector<std::size_t> shape;  // items per level, outermost first
    std::vector<std::int64_t> ints;  // is_int
    std::vector<double> floats;      // !is_int
};
using NumbersPtr = std::shared_ptr<const Numbers>;

struct Value {
    std::variant<std::monostate, bool, std::int64_t, double, std::string, List, Dict, NumbersPtr> v;

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : v(b) {}
    Value(std::int64_t i) : v(i) {}
    Value(int i) : v(std::int64_t{i}) {}
    Value(double d) : v(d) {}
    Value(std::string s) : v(std::move(s)) {}
    Value(const char* s) : v(std::string(s)) {}
    Value(List l) : v(std::move(l)) {}
    Value(Dict d) : v(std::move(d)) {}
    Value(NumbersPtr n) : v(std::move(n)) {}

    bool is_null() const { return v.index() == 0; }
    template <class T>
    bool is() const {
        return std::holds_alternative<T>(v);
    }
    template <class T>
    T& as() {
        return std::get<T>(v);
    }
    template <class T>
    const T& as() const {
        return std::get<T>(v);
    }
};

}  // namespace tavro::kelm
