// Transportation problem: ship a single product from plants to warehouses
// at minimum cost.

{string} Plants = ...;         // supply points
{string} Warehouses = ...;     // demand points

float supply[Plants] = ...;                     // weekly production (t)
float demand[Warehouses] = ...;                 // weekly requirement (t)
float shipCost[Plants][Warehouses] = ...;       // cost per tonne on each route (EUR/t)

// Tonnes shipped from each plant to each warehouse.
dvar float+ ship[Plants][Warehouses];

// Objective: total shipping cost.
minimize TotalShippingCost:
    sum(p in Plants, w in Warehouses) shipCost[p][w] * ship[p][w];

subject to {
    // A plant cannot ship more than it produces.
    forall(p in Plants)
        PlantCapacity: sum(w in Warehouses) ship[p][w] <= supply[p];

    // Every warehouse receives at least its demand.
    forall(w in Warehouses)
        MeetDemand: sum(p in Plants) ship[p][w] >= demand[w];
}
