// Minimum cost flow over the arcs of a table.
tuple Arc { string src; string dst; float cost; float capacity; }
{Arc} Arcs = ...;
{string} Nodes = ...;
float supply[Nodes] = ...;

dvar float flow[a in Arcs] in 0..a.capacity;

minimize TotalCost: sum(a in Arcs) a.cost * flow[a];

subject to {
  forall(n in Nodes)
    Balance: sum(a in Arcs: a.src == n) flow[a] - sum(a in Arcs: a.dst == n) flow[a] == supply[n];
}
