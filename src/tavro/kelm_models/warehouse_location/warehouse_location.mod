// Capacitated warehouse location with single sourcing: every customer is
// served by exactly one open warehouse.

{string} Warehouses = ...;
{string} Customers = ...;

float openCost[Warehouses] = ...;              // kEUR per year
float capacity[Warehouses] = ...;              // tonnes per month
float demand[Customers] = ...;                 // tonnes per month
float serveCost[Warehouses][Customers] = ...;  // kEUR per year for the whole demand

// open[w] = 1 if warehouse w is opened; serve[w][c] = 1 if w serves c.
dvar boolean open[Warehouses];
dvar boolean serve[Warehouses][Customers];

// Objective: opening plus serving cost.
minimize TotalCost: sum(w in Warehouses) openCost[w] * open[w]
                  + sum(w in Warehouses, c in Customers) serveCost[w][c] * serve[w][c];

subject to {
    // Each customer has exactly one warehouse.
    forall(c in Customers)
        SingleSource: sum(w in Warehouses) serve[w][c] == 1;

    // Only open warehouses serve, within their capacity.
    forall(w in Warehouses)
        Capacity: sum(c in Customers) demand[c] * serve[w][c] <= capacity[w] * open[w];

    // Tighter link: a customer is served only from an open warehouse.
    forall(w in Warehouses, c in Customers)
        OpenToServe: serve[w][c] <= open[w];
}
