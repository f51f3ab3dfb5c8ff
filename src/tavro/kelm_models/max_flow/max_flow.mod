// Maximum flow from a source node to a sink node over one-way arcs.

{string} Nodes = ...;          // gates and squares of the site
string source = ...;           // the main entrance
string sink = ...;             // the stage

// A one-way path with its safety limit (visitors per hour).
tuple Walkway {
    string tail;       // where the path starts
    string head;       // where the path ends
    float limit;
}

{Walkway} Walkways = ...;

// Visitors per hour on each path.
dvar float+ walk[Walkways];

// Objective: visitors per hour leaving the entrance.
maximize Throughput: sum(p in Walkways: p.tail == source) walk[p];

subject to {
    // At every square as many visitors leave as arrive.
    forall(n in Nodes: n != source && n != sink)
        Balance: sum(p in Walkways: p.head == n) walk[p] == sum(p in Walkways: p.tail == n) walk[p];

    // Walkways carry no more than their safety limit.
    forall(p in Walkways)
        SafetyLimit: walk[p] <= p.limit;
}
