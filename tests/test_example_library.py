"""Every optimum shipped with the package, proved by an independent model.

The example library (src/tavro/kelm_models/NAME/solution.json) and the bundled
benchmark (src/tavro/data/benchmark.jsonl) record known answers. Each is checked
here against a SciPy model (or an enumeration) written by hand from the
problem's description, never read through tavro, so a fault in a Tavro model
or in its recorded optimum shows up as a disagreement.
"""

import itertools
import json
import pathlib
import re
from importlib.resources import files

import numpy as np
import pytest
from scipy.optimize import Bounds, LinearConstraint, milp

from tavro.tavro_core import KelmCompiler

INF = np.inf


class Lp:
    """Columns and rows written one at a time; solve() gives the optimum or "infeasible"."""

    def __init__(self):
        self.cost, self.lo, self.hi, self.integer, self.rows = [], [], [], [], []

    def var(self, cost=0.0, lo=0.0, hi=INF, integer=False):
        for column, value in zip((self.cost, self.lo, self.hi, self.integer), (cost, lo, hi, int(integer))):
            column.append(value)
        return len(self.cost) - 1

    def binary(self, cost=0.0):
        return self.var(cost, 0, 1, True)

    def row(self, terms, lo=-INF, hi=INF):
        self.rows.append((dict(terms), lo, hi))

    def solve(self, maximize=False):
        n = len(self.cost)
        c = np.array(self.cost, dtype=float) * (-1 if maximize else 1)
        cons = []
        if self.rows:
            A = np.zeros((len(self.rows), n))
            for r, (terms, _, _) in enumerate(self.rows):
                for j, a in terms.items():
                    A[r, j] += a
            cons = [LinearConstraint(A, [r[1] for r in self.rows], [r[2] for r in self.rows])]
        res = milp(c, constraints=cons, bounds=Bounds(self.lo, self.hi), integrality=self.integer)
        if res.status == 2:      # proven infeasible
            return "infeasible"
        assert res.status == 0, res.message
        return -res.fun if maximize else res.fun


def grid(lp, rows, cols, cost, hi=INF):
    """A rows x cols table of continuous columns with costs cost[i][j]."""
    return [[lp.var(cost[i][j], 0, hi) for j in range(cols)] for i in range(rows)]


def transport_like(cost, supply, demand):
    """Minimum cost of shipping at most supply[i] and at least demand[j]."""
    lp = Lp()
    x = grid(lp, len(supply), len(demand), cost)
    for i, s in enumerate(supply):
        lp.row({x[i][j]: 1 for j in range(len(demand))}, hi=s)
    for j, d in enumerate(demand):
        lp.row({x[i][j]: 1 for i in range(len(supply))}, lo=d)
    return lp.solve()


def assignment():
    hours = [[6, 12, 9, 7, 5], [8, 7, 11, 6, 6], [10, 9, 5, 8, 7], [7, 14, 10, 5, 4], [9, 8, 7, 9, 3]]
    lp = Lp()
    x = [[lp.binary(h) for h in row] for row in hours]
    for i in range(5):
        lp.row({x[i][j]: 1 for j in range(5)}, 1, 1)
        lp.row({x[j][i]: 1 for j in range(5)}, 1, 1)
    return lp.solve()


def blending():
    price, stock = [210, 190, 420, 150, 180], [6, 5, 3, 4, 2]
    share = [[0.09, 0.025, 0.04], [0.11, 0.05, 0.02], [0.46, 0.06, 0.015], [0.15, 0.11, 0.04], [0.04, 0, 0]]
    band = [(0.16, 0.20), (0.05, 0.09), (0.02, 0.04)]
    lp = Lp()
    x = [lp.var(p, 0, s) for p, s in zip(price, stock)]
    lp.row({j: 1 for j in x}, 10, 10)
    for q, (lo, hi) in enumerate(band):
        lp.row({x[i]: share[i][q] for i in range(5)}, 10 * lo, 10 * hi)
    lp.row({x[4]: 1}, hi=1)
    return lp.solve()


def capital_budgeting():
    worth = [4.0, 3.5, 9.0, 1.5, 5.0, 6.5, 2.5]
    spend = [[1.2, 0.8, 0], [0.5, 1.5, 1.0], [2.5, 2.5, 2.0], [0.4, 0.4, 0.2], [1.0, 2.0, 1.5], [1.5, 2.0, 1.0],
             [0.6, 0.3, 0.3]]
    lp = Lp()
    x = [lp.binary(w) for w in worth]
    for y, cap in enumerate([5.0, 6.0, 4.0]):
        lp.row({x[p]: spend[p][y] for p in range(7)}, hi=cap)
    lp.row({x[4]: 1, x[5]: 1}, hi=1)          # sports hall or school
    lp.row({x[3]: 1, x[0]: -1}, hi=0)         # lighting needs the cycle path
    return lp.solve(maximize=True)


def diet():
    cost = [0.30, 0.25, 0.40, 1.20, 0.20, 0.60]
    content = [[110, 4, 2, 1.7], [160, 8, 285, 0.1], [155, 13, 50, 1.2], [240, 27, 15, 1.0], [205, 4, 16, 1.9],
               [40, 5, 245, 6.4]]
    lp = Lp()
    x = [lp.var(c, 0, 4) for c in cost]
    for n, need in enumerate([2000, 55, 800, 12]):
        lp.row({x[f]: content[f][n] for f in range(6)}, lo=need)
    return lp.solve()


def facility_location():
    fixed, cap = [120, 100, 140, 90, 80], [400, 300, 500, 250, 200]
    demand = [80, 120, 60, 150, 90, 70, 110, 40]
    tc = [[0.8, 1.2, 2.0, 1.5, 2.6, 3.0, 1.1, 2.2], [2.4, 0.9, 1.3, 2.8, 1.0, 1.9, 2.7, 1.4],
          [1.5, 1.1, 0.7, 1.3, 1.6, 1.2, 1.8, 1.0], [1.2, 3.1, 3.4, 2.2, 3.9, 4.2, 0.6, 3.5],
          [2.0, 2.5, 1.9, 0.9, 2.9, 1.0, 2.4, 1.7]]
    lp = Lp()
    y = [lp.binary(f) for f in fixed]
    x = grid(lp, 5, 8, tc)
    for s, d in enumerate(demand):
        lp.row({x[c][s]: 1 for c in range(5)}, d, d)
    for c in range(5):
        lp.row({**{x[c][s]: 1 for s in range(8)}, y[c]: -cap[c]}, hi=0)
    return lp.solve()


def knapsack():
    value, weight = [10, 9, 6, 8, 7, 3, 1, 4, 6, 2], [3.5, 2.0, 1.2, 0.5, 0.6, 0.9, 0.4, 2.5, 0.7, 0.8]
    best = max(sum(v for v, t in zip(value, pick) if t)
               for pick in itertools.product((0, 1), repeat=10)
               if sum(w for w, t in zip(weight, pick) if t) <= 8 + 1e-9)
    return float(best)


def flow_network(arcs, balance):
    """arcs: (tail, head, cost, capacity); balance: node -> flow out minus flow in."""
    lp = Lp()
    x = [lp.var(c, 0, u) for _, _, c, u in arcs]
    for n, b in balance.items():
        lp.row({x[k]: (t == n) - (h == n) for k, (t, h, _, _) in enumerate(arcs)}, b, b)
    return lp


def max_flow():
    arcs = [("E", "N", 1200), ("E", "S", 900), ("N", "F", 500), ("S", "F", 400), ("N", "T", 800),
            ("S", "T", 600), ("F", "T", 700), ("N", "S", 300)]
    lp = flow_network([(t, h, 1.0 if t == "E" else 0.0, u) for t, h, u in arcs], {"N": 0, "S": 0, "F": 0})
    return lp.solve(maximize=True)


def min_cost_flow():
    arcs = [("PN", "J1", 4, 60), ("PN", "J2", 6, 40), ("PS", "J2", 3, 50), ("PS", "J3", 5, 45), ("J1", "J2", 1, 30),
            ("J1", "A", 7, 50), ("J2", "A", 5, 30), ("J2", "B", 4, 60), ("J3", "B", 6, 25), ("J3", "C", 3, 40),
            ("J2", "J3", 2, 30)]
    supply = {"PN": 70, "PS": 60, "J1": 0, "J2": 0, "J3": 0, "A": -45, "B": -50, "C": -35}
    lp = flow_network(arcs, supply)
    return lp.solve()


def production_planning():
    demand = [900, 1100, 1500, 1600, 1300, 1000]
    cost = [150, 150, 155, 160, 160, 155]
    lp = Lp()
    reg = [lp.var(c, 0, 1200) for c in cost]
    ot = [lp.var(c + 40, 0, 300) for c in cost]
    st = [lp.var(6, 0, 800) for _ in cost]
    for m in range(6):
        opening = {st[m - 1]: 1} if m else {}
        rhs = demand[m] - (200 if m == 0 else 0)      # 200 bicycles in stock at the start
        lp.row({**opening, reg[m]: 1, ot[m]: 1, st[m]: -1}, rhs, rhs)
    return lp.solve()


def staff_scheduling():
    required, wage = [6, 9, 22, 25, 18, 12], [176, 152, 136, 136, 144, 168]
    lp = Lp()
    x = [lp.var(w, 2, INF, True) for w in wage]
    for p in range(6):       # shift s covers periods s and s+1 (mod 6)
        lp.row({x[p]: 1, x[(p - 1) % 6]: 1}, lo=required[p])
    return lp.solve()


def transportation():
    return transport_like([[12, 28, 35, 30], [8, 20, 26, 22], [25, 9, 14, 24]], [500, 700, 600], [350, 450, 400, 300])


def fixed_charge():
    profit, rental, hours, cloth = [12, 8, 15], [200, 150, 100], [3, 2, 6], [4, 3, 4]
    lp = Lp()
    make = [lp.var(p, 0, INF, True) for p in profit]
    rent = [lp.binary(-r) for r in rental]
    lp.row(dict(zip(make, hours)), hi=150)
    lp.row(dict(zip(make, cloth)), hi=160)
    for p in range(3):       # a looser big-M than the model's; any valid bound gives the same optimum
        lp.row({make[p]: 1, rent[p]: -1000}, hi=0)
    return lp.solve(maximize=True)


def either_or():
    # Enumerated: board caps tables at 30 and chairs at 40.
    best = -INF
    for t in range(31):
        for c in range(41):
            if 4 * t + 3 * c <= 120 and (3 * t + c <= 60 or 2 * t + 2 * c <= 70):
                best = max(best, 40 * t + 25 * c)
    return float(best)


def set_covering():
    cost = [50, 40, 60, 35, 45, 55]
    reach = [{1, 2, 3}, {2, 4, 5}, {3, 5, 6, 7}, {1, 4, 8}, {6, 7, 8}, {1, 5, 7, 8}]
    best = min(sum(cost[s] for s in pick) for k in range(7) for pick in itertools.combinations(range(6), k)
               if set().union(*(reach[s] for s in pick)) == set(range(1, 9)))
    return float(best)


def cyclic_staffing():
    need = [16, 14, 15, 18, 13, 9, 8]
    lp = Lp()
    start = [lp.var(1, 0, INF, True) for _ in range(7)]
    for d in range(7):
        lp.row({start[(d - k) % 7]: 1 for k in range(5)}, lo=need[d])
    return lp.solve()


def multi_period_inventory():
    demand, price = [40, 65, 90, 80, 50, 30], [620, 650, 700, 680, 640, 600]
    lp = Lp()
    buy = [lp.var(p, 0, 100) for p in price]
    st = [lp.var(8, 0, 80) for _ in price]
    for t in range(6):
        opening = {st[t - 1]: 1} if t else {}
        rhs = demand[t] - (20 if t == 0 else 0)
        lp.row({**opening, buy[t]: 1, st[t]: -1}, rhs, rhs)
    lp.row({st[5]: 1}, lo=25)
    return lp.solve()


def tsp():
    d = [[0, 40, 45, 30, 35, 30], [40, 0, 50, 65, 60, 25], [45, 50, 0, 60, 30, 60],
         [30, 65, 60, 0, 35, 55], [35, 60, 30, 35, 0, 55], [30, 25, 60, 55, 55, 0]]
    return float(min(d[0][p[0]] + sum(d[a][b] for a, b in zip(p, p[1:])) + d[p[-1]][0]
                     for p in itertools.permutations(range(1, 6))))


def cutting_stock():
    patterns = [(2, 0, 0, 1), (1, 1, 1, 0), (1, 0, 1, 2), (0, 3, 0, 0), (0, 2, 1, 1),
                (0, 0, 4, 0), (0, 1, 2, 1), (0, 0, 0, 6), (0, 0, 2, 3), (1, 1, 0, 1)]
    widths = (85, 60, 45, 30)
    assert all(sum(k * w for k, w in zip(p, widths)) <= 200 for p in patterns)
    lp = Lp()
    cut = [lp.var(1, 0, INF, True) for _ in patterns]
    for w, need in enumerate([20, 35, 40, 50]):
        lp.row({cut[p]: patterns[p][w] for p in range(10)}, lo=need)
    return lp.solve()


def machine_scheduling():
    # Every job order that keeps the precedences, each job started as early as possible.
    dur, rel, wt = [4, 3, 6, 2, 5], [0, 2, 0, 5, 3], [2, 1, 3, 2, 1]
    best = INF
    for seq in itertools.permutations(range(5)):
        if seq.index(0) > seq.index(3) or seq.index(2) > seq.index(4):
            continue
        t = total = 0
        for j in seq:
            t = max(t, rel[j]) + dur[j]
            total += wt[j] * t
        best = min(best, total)
    return float(best)


def production_mix():
    profit = [900, 700, 1000, 600]
    use = [[0.70, 0.30, 0.35, 0.25], [0.25, 0.45, 0.35, 0.50], [6, 4, 5, 3]]
    lp = Lp()
    x = [lp.var(p, 0, hi) for p, hi in zip(profit, [INF, INF, 20, 25])]
    for r, cap in enumerate([30, 40, 400]):
        lp.row(dict(zip(x, use[r])), hi=cap)
    return lp.solve(maximize=True)


def diet_ranges():
    cost = [0.35, 1.10, 0.40, 0.30, 0.45, 0.25]
    nutr = [[220, 165, 130, 35, 100, 95], [8, 31, 9, 2.5, 5, 0.5], [1.5, 3.6, 0.5, 0.4, 3.3, 0.3],
            [5, 75, 240, 35, 50, 2]]
    bands = [(600, 850), (25, 45), (10, 30), (200, 900)]
    lp = Lp()
    x = [lp.var(c, 1 if f == 3 else 0, 2) for f, c in enumerate(cost)]
    for row, (lo, hi) in zip(nutr, bands):
        lp.row(dict(zip(x, row)), lo, hi)
    return lp.solve()


def shortest_path():
    roads = {"D": {"M": 7, "B": 9, "K": 14}, "M": {"B": 10, "H": 15}, "B": {"K": 2, "H": 11},
             "K": {"R": 9, "A": 21}, "H": {"R": 6, "A": 12}, "R": {"A": 8}}
    dist, todo = {"D": 0}, ["D"]           # Dijkstra on a tiny graph
    while todo:
        u = min(todo, key=dist.get)
        todo.remove(u)
        for v, w in roads.get(u, {}).items():
            if dist[u] + w < dist.get(v, INF):
                dist[v] = dist[u] + w
                todo.append(v)
    return float(dist["A"])


def portfolio():
    ret, risk = [0.03, 0.045, 0.06, 0.08, 0.11], [1, 3, 5, 7, 9]
    B = 500000
    lp = Lp()
    x = [lp.var(r, 0, 0.4 * B) for r in ret]
    lp.row({j: 1 for j in x}, B, B)
    lp.row({x[0]: 1, x[1]: 1}, lo=0.3 * B)
    lp.row({x[4]: 1}, hi=0.1 * B)
    lp.row(dict(zip(x, risk)), hi=4.5 * B)
    return lp.solve(maximize=True)


def warehouse_location():
    # Every single-source assignment of customers to warehouses (4**6 of them).
    opening, cap = [300, 250, 280, 220], [90, 80, 100, 70]
    demand = [25, 30, 20, 35, 15, 28]
    serve = [[40, 55, 80, 95, 60, 70], [70, 35, 50, 85, 75, 45], [90, 65, 30, 40, 55, 80], [60, 85, 70, 30, 35, 90]]
    best = INF
    for choice in itertools.product(range(4), repeat=6):
        load = [0] * 4
        for c, w in enumerate(choice):
            load[w] += demand[c]
        if all(used <= k for used, k in zip(load, cap)):
            best = min(best, sum(opening[w] for w in set(choice)) + sum(serve[w][c] for c, w in enumerate(choice)))
    return float(best)


def lot_sizing():
    # Every pattern of setup weeks, each with its cheapest production plan.
    demand, best = [120, 80, 150, 60, 100, 140], INF
    for plan in itertools.product((0, 1), repeat=6):
        lp = Lp()
        make = [lp.var(10, 0, 220 * on) for on in plan]
        stock = [lp.var(1.5, 0, 200) for _ in demand]
        for t, d in enumerate(demand):
            rhs = d - (30 if t == 0 else 0)      # 30 crates in the freezer at the start
            lp.row({**({stock[t - 1]: 1} if t else {}), make[t]: 1, stock[t]: -1}, rhs, rhs)
        cost = lp.solve()
        if cost != "infeasible":
            best = min(best, cost + 400 * sum(plan))
    return best

# ---- benchmark checks ----------------------------------------------------------------

def b01():
    lp = Lp()
    x = [lp.var(p) for p in (310, 260, 420)]
    lp.row(dict.fromkeys(x, 1), hi=120)
    lp.row(dict(zip(x, (4, 3, 6))), hi=540)
    lp.row(dict(zip(x, (150, 100, 180))), hi=18000)
    lp.row({x[2]: 1}, hi=40)
    return lp.solve(maximize=True)


def b02():
    lp = Lp()
    x = [lp.var(c) for c in (0.8, 1.0, 1.1)]
    lp.row(dict(zip(x, (0.2, 0.1, 0.3))), lo=60)
    lp.row(dict(zip(x, (0.1, 0.25, 0.0))), lo=40)
    lp.row(dict.fromkeys(x, 1), hi=400)
    return lp.solve()


def b03():
    # The fewest vans for which some crate-to-van assignment fits.
    w = [450, 380, 320, 300, 260, 200, 150]
    for k in range(1, 8):
        for bins in itertools.product(range(k), repeat=7):
            if all(sum(wi for wi, b in zip(w, bins) if b == t) <= 800 for t in range(k)):
                return float(k)


def b04():
    return transport_like([[4, 6, 9], [7, 3, 5]], [300, 250], [200, 180, 220])


def b05():
    m = [[14, 22, 9, 30], [18, 11, 25, 16], [27, 19, 12, 21], [10, 24, 20, 13]]
    return float(min(sum(m[g][b] for g, b in enumerate(p)) for p in itertools.permutations(range(4))))


def b06():
    return float(max(70 * c + 110 * k for c in range(10) for k in range(7)
                     if 6 * c + 10 * k <= 58 and 4 * c + 5 * k <= 30))


def b07():
    lp = Lp()
    x = grid(lp, 2, 3, [[6, 8, 11], [9, 5, 7]], hi=220)
    for q, s in enumerate((500, 400)):
        lp.row({x[q][j]: 1 for j in range(3)}, hi=s)
    for j, d in enumerate((250, 300, 280)):
        lp.row({x[0][j]: 1, x[1][j]: 1}, d, d)
    return lp.solve()


def b08():
    demand = [40, 60, 30, 70]
    lp = Lp()
    make = [lp.var(5) for _ in demand]
    stock = [lp.var(2) for _ in demand]
    setup = [lp.binary(250) for _ in demand]
    for t, d in enumerate(demand):
        lp.row({**({stock[t - 1]: 1} if t else {}), make[t]: 1, stock[t]: -1}, d, d)
        lp.row({make[t]: 1, setup[t]: -120}, hi=0)
    return lp.solve()


def b09():
    lp = Lp()
    a1, a2, a3, b1, b2, c1 = (lp.var() for _ in range(6))
    lp.cost[a3], lp.cost[b2], lp.cost[c1] = 1.05, 1.12, 1.19
    lp.row({a1: 1, b1: 1, c1: 1}, 100000, 100000)
    lp.row({a2: 1, b2: 1, a1: -1.05}, 0, 0)
    lp.row({a3: 1, a2: -1.05, b1: -1.12}, 0, 0)
    lp.row({c1: 1}, hi=30000)
    return lp.solve(maximize=True)


def b10():
    cost = [120, 90, 70, 110, 80]
    cov = [{1, 2, 3}, {2, 4, 5}, {1, 4, 7}, {3, 5, 6}, {6, 7}]
    return float(min(sum(cost[s] for s in pick) for k in range(6) for pick in itertools.combinations(range(5), k)
                     if set().union(*(cov[s] for s in pick)) == set(range(1, 8))))


def b11():
    lp = Lp()
    pipes = [("F", "P1", 70), ("F", "P2", 50), ("P1", "P2", 20), ("P1", "P3", 40), ("P2", "P3", 30),
             ("P1", "T", 25), ("P3", "T", 60), ("P2", "T", 15)]
    x = [lp.var(1.0 if h == "T" else 0.0, 0, u) for _, h, u in pipes]
    for n in ("P1", "P2", "P3"):
        lp.row({x[k]: (h == n) - (t == n) for k, (t, h, _) in enumerate(pipes) if n in (t, h)}, 0, 0)
    return lp.solve(maximize=True)


def b12():
    return min(1.7 * a + 3.1 * b + 7.2 * c for a in range(18) for b in range(10) for c in range(5)
               if 6 * a + 12 * b + 30 * c >= 100)


# ---- the example library -------------------------------------------------------------

LIBRARY_CHECKS = {f.__name__: f for f in [
    assignment, blending, capital_budgeting, diet, facility_location, knapsack, max_flow, min_cost_flow,
    production_planning, staff_scheduling, transportation, fixed_charge, either_or, set_covering, cyclic_staffing,
    multi_period_inventory, tsp, cutting_stock, machine_scheduling, production_mix, diet_ranges, shortest_path,
    portfolio, warehouse_location, lot_sizing]}

LIBRARY = files("tavro") / "kelm_models"
FOLDERS = sorted(p.name for p in LIBRARY.iterdir() if p.is_dir() and not p.name.startswith("__"))


def model_text(name):
    return (LIBRARY / name / f"{name}.mod").read_text(encoding="utf-8")


def sense_of(model):
    model = re.sub(r"//[^\n]*|/\*.*?\*/", "", model, flags=re.S)
    return re.search(r"\b(minimize|maximize)\b", model).group(1)


def test_every_library_problem_has_an_independent_check():
    assert len(FOLDERS) >= 24
    assert sorted(LIBRARY_CHECKS) == FOLDERS


@pytest.mark.parametrize("name", FOLDERS)
def test_library_folder_is_complete_and_compiles(name):
    folder = LIBRARY / name
    expected = [f"{name}.txt", f"{name}.mod", f"{name}.dat", "solution.json"]
    assert sorted(p.name for p in folder.iterdir()) == sorted(expected)
    solution = json.loads((folder / "solution.json").read_text(encoding="utf-8"))
    assert set(solution) == {"status", "sense", "objective"}
    assert solution["status"] == "optimal"
    assert solution["sense"] == sense_of(model_text(name))
    assert isinstance(solution["objective"], (int, float)) and not isinstance(solution["objective"], bool)
    assert len((folder / f"{name}.txt").read_text(encoding="utf-8").split()) >= 40
    KelmCompiler().compile_model(model_text(name), (folder / f"{name}.dat").read_text(encoding="utf-8"))


@pytest.mark.parametrize("name", FOLDERS)
def test_library_model_has_one_objective_and_labelled_constraints(name):
    model = re.sub(r"//[^\n]*|/\*.*?\*/", "", model_text(name), flags=re.S)
    assert len(re.findall(r"\b(minimize|maximize)\b", model)) == 1
    body = model[model.index("subject to") + len("subject to"):]
    body = re.sub(r"\b(forall|sum)\s*\([^)]*\)", " ", body)
    constraints = [s for s in body.split(";") if re.search(r"<=|>=|==", s)]
    labels = [re.match(r"[\s{}]*([A-Za-z_]\w*)\s*:", s) for s in constraints]
    assert constraints and all(labels), constraints
    names = [m.group(1) for m in labels]
    assert len(set(names)) == len(names)


@pytest.mark.parametrize("name", sorted(LIBRARY_CHECKS))
def test_library_optimum_matches_independent_model(name):
    recorded = json.loads((LIBRARY / name / "solution.json").read_text(encoding="utf-8"))["objective"]
    assert LIBRARY_CHECKS[name]() == pytest.approx(recorded, rel=1e-6)


# ---- the bundled benchmark -----------------------------------------------------------

BENCHMARK_CHECKS = {f.__name__: f for f in [b01, b02, b03, b04, b05, b06, b07, b08, b09, b10, b11, b12]}

GOLD = pathlib.Path(__file__).resolve().parent / "data" / "benchmark_gold"
BENCHMARK_TEXT = (files("tavro") / "data" / "benchmark.jsonl").read_text(encoding="utf-8")
BENCHMARK = [json.loads(line) for line in BENCHMARK_TEXT.splitlines()]
ANSWERS = {record["id"]: record["answer"] for record in BENCHMARK}


def test_benchmark_is_shipped_well_formed_and_varied():
    assert BENCHMARK_TEXT.endswith("\n") and all(BENCHMARK_TEXT.splitlines())
    assert all(set(r) == {"id", "question", "answer"} for r in BENCHMARK)
    assert sorted(ANSWERS) == sorted(BENCHMARK_CHECKS) and len(ANSWERS) == len(BENCHMARK) >= 12
    assert list(ANSWERS.values()).count("infeasible") == 1
    gold = {i: (GOLD / f"{i}.mod").read_text(encoding="utf-8") for i in ANSWERS}
    assert "maximize" in {sense_of(m) for m in gold.values()}
    integer = {i for i, m in gold.items() if re.search(r"dvar\s+(int|boolean)", m)}
    assert 0 < len(integer) < len(gold)
    # Written for the benchmark, not copied from the example library.
    descriptions = [(LIBRARY / n / f"{n}.txt").read_text(encoding="utf-8")[:60] for n in FOLDERS]
    assert not any(r["question"][:60] in descriptions for r in BENCHMARK)


def test_examples_link_points_at_the_shipped_benchmark():
    link = GOLD.parents[2] / "examples" / "benchmark.jsonl"
    assert link.is_symlink() and link.read_text(encoding="utf-8") == BENCHMARK_TEXT


@pytest.mark.parametrize("bid", sorted(BENCHMARK_CHECKS))
def test_benchmark_answer_matches_independent_model(bid):
    found, answer = BENCHMARK_CHECKS[bid](), ANSWERS[bid]
    if answer == "infeasible":
        assert found == "infeasible"
    else:
        assert found == pytest.approx(answer, rel=1e-6)


@pytest.mark.parametrize("bid", sorted(BENCHMARK_CHECKS))
def test_benchmark_gold_pair_compiles(bid):
    KelmCompiler().compile_model((GOLD / f"{bid}.mod").read_text(encoding="utf-8"),
                                 (GOLD / f"{bid}.dat").read_text(encoding="utf-8"))
