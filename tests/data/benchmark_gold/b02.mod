{string} Products = ...;
float cost[Products] = ...;
float nitrogen[Products] = ...;
float phosphate[Products] = ...;
float needN = ...;
float needP = ...;
float maxWeight = ...;

dvar float+ kg[Products];

minimize Cost: sum(p in Products) cost[p] * kg[p];

subject to {
    Nitrogen: sum(p in Products) nitrogen[p] * kg[p] >= needN;
    Phosphate: sum(p in Products) phosphate[p] * kg[p] >= needP;
    Spreader: sum(p in Products) kg[p] <= maxWeight;
}
