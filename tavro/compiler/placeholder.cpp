// Placeholder until the compiler sources land.
namespace tavro::kelm { int placeholder() { return 0; } }
