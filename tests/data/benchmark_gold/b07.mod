{string} Quarries = ...;
{string} Sites = ...;
float supply[Quarries] = ...;
float demand[Sites] = ...;
float cost[Quarries][Sites] = ...;
float routeLimit = ...;

dvar float ship[Quarries][Sites] in 0..routeLimit;

minimize Cost: sum(q in Quarries, s in Sites) cost[q][s] * ship[q][s];

subject to {
    forall(q in Quarries)
        Supply: sum(s in Sites) ship[q][s] <= supply[q];
    forall(s in Sites)
        Demand: sum(q in Quarries) ship[q][s] == demand[s];
}
