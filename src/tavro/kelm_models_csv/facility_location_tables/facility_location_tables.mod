// Capacitated facility location: open warehouses, ship to stores.
{string} Warehouses = ...;
{string} Stores = ...;
float fixedCost[Warehouses] = ...;
float capacity[Warehouses] = ...;
float demand[Stores] = ...;
float cost[Warehouses][Stores] = ...;
int maxOpen = ...;

dvar boolean open[Warehouses];
dvar float+ ship[Warehouses][Stores];

minimize TotalCost:
  sum(w in Warehouses) fixedCost[w] * open[w]
  + sum(w in Warehouses, s in Stores) cost[w][s] * ship[w][s];

subject to {
  forall(s in Stores) Demand: sum(w in Warehouses) ship[w][s] == demand[s];
  forall(w in Warehouses) Capacity: sum(s in Stores) ship[w][s] <= capacity[w] * open[w];
  MaxOpen: sum(w in Warehouses) open[w] <= maxOpen;
}
