{string} Nodes = ...;
tuple Pipe { string from; string to; float capacity; }
{Pipe} Pipes = ...;
string source = ...;
string sink = ...;

dvar float+ flow[Pipes];

maximize Throughput: sum(p in Pipes: p.to == sink) flow[p];

subject to {
    forall(n in Nodes: n != source && n != sink)
        Conservation: sum(p in Pipes: p.to == n) flow[p] == sum(p in Pipes: p.from == n) flow[p];
    forall(p in Pipes)
        Capacity: flow[p] <= p.capacity;
}
