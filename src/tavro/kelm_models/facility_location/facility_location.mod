// Capacitated facility location: open distribution centres and assign
// supermarket demand to them at minimum fixed plus transport cost.

{string} Centres = ...;        // candidate distribution centres
{string} Stores = ...;         // supermarkets to serve

float fixedCost[Centres] = ...;                 // yearly cost of opening a centre (kEUR)
float capacity[Centres] = ...;                  // pallets per week an open centre handles
float demand[Stores] = ...;                     // pallets per week each store needs
float transportCost[Centres][Stores] = ...;     // cost per pallet and week (kEUR)

// open[c] = 1 if centre c is opened.
dvar boolean open[Centres];
// Pallets per week sent from centre c to store s.
dvar float+ deliver[Centres][Stores];

// Cost parts, named for reporting.
dexpr float openingCost = sum(c in Centres) fixedCost[c] * open[c];
dexpr float shippingCost = sum(c in Centres, s in Stores) transportCost[c][s] * deliver[c][s];

// Objective: fixed plus transport cost.
minimize TotalCost: openingCost + shippingCost;

subject to {
    // Every store receives its full weekly demand.
    forall(s in Stores)
        ServeStore: sum(c in Centres) deliver[c][s] == demand[s];

    // A centre ships nothing unless open, and never more than its capacity.
    forall(c in Centres)
        CentreCapacity: sum(s in Stores) deliver[c][s] <= capacity[c] * open[c];
}
