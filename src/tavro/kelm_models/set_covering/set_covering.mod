// Set covering: open the cheapest set of stations such that every district
// is reached by at least one of them.

{string} Sites = ...;          // candidate station sites
range Districts = 1..8;

float cost[Sites] = ...;                    // yearly cost of a station (kEUR)
int reaches[Sites][Districts] = ...;        // 1 if the site reaches the district in time

// build[s] = 1 if a station is built at site s.
dvar boolean build[Sites];

// Objective: yearly cost of the stations.
minimize StationCost: sum(s in Sites) cost[s] * build[s];

subject to {
    // Every district is reached by at least one station.
    forall(d in Districts)
        Covered: sum(s in Sites) reaches[s][d] * build[s] >= 1;
}
