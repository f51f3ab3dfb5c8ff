// Minimum-cost network flow over a set of arcs given as tuples.

{string} Nodes = ...;          // plants, junctions and towns

// A one-way pipe with its pumping cost and capacity.
tuple Arc {
    string from;
    string to;
    float cost;        // EUR per thousand m3
    float capacity;    // thousand m3 per day
}

{Arc} Arcs = ...;

// Net supply of each node: positive at plants, negative at towns, zero at junctions.
float netSupply[Nodes] = ...;

// Daily flow through each pipe.
dvar float+ flow[Arcs];

// Objective: pumping cost of all flows.
minimize PumpingCost: sum(a in Arcs) a.cost * flow[a];

subject to {
    // Flow out minus flow in equals the node's net supply.
    forall(n in Nodes)
        FlowConservation:
            sum(a in Arcs: a.from == n) flow[a] - sum(a in Arcs: a.to == n) flow[a] == netSupply[n];

    // No pipe carries more than its capacity.
    forall(a in Arcs)
        PipeCapacity: flow[a] <= a.capacity;
}
