// Shortest path as a network flow: send one unit from the origin to the
// destination along the cheapest arcs.

{string} Places = ...;
string origin = ...;
string destination = ...;

// A one-way road section with its driving time (minutes).
tuple Road {
    string from;
    string to;
    float minutes;
}
{Road} Roads = ...;

// use[r] = 1 if the route drives along road r (integral at a vertex of this LP).
dvar float use[Roads] in 0..1;

// Objective: driving time of the route.
minimize DrivingTime: sum(r in Roads) r.minutes * use[r];

subject to {
    // The route leaves the origin once.
    LeaveOrigin: sum(r in Roads: r.from == origin) use[r] - sum(r in Roads: r.to == origin) use[r] == 1;

    // The route enters the destination once.
    ReachDestination: sum(r in Roads: r.to == destination) use[r] - sum(r in Roads: r.from == destination) use[r] == 1;

    // At every junction the route leaves as often as it arrives.
    forall(p in Places: p != origin && p != destination)
        PassThrough: sum(r in Roads: r.to == p) use[r] == sum(r in Roads: r.from == p) use[r];
}
