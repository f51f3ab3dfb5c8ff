// Fixed-charge production: a product can only be made once its machine is
// rented; maximise unit profit minus rental costs.

{string} Products = ...;
{string} Resources = ...;              // labour hours, cloth

float profit[Products] = ...;          // EUR per unit
float rental[Products] = ...;          // weekly machine rental (EUR)
float usage[Products][Resources] = ...;    // resource use per unit
float available[Resources] = ...;      // weekly amount of each resource
float maxUnits[Products] = ...;        // most units the resources allow (big-M)

// Units made, and rent[p] = 1 if the machine for p is rented.
dvar int+ make[Products];
dvar boolean rent[Products];

// Objective: unit profit minus rental costs.
maximize NetProfit: sum(p in Products) profit[p] * make[p] - sum(p in Products) rental[p] * rent[p];

subject to {
    // Resources used stay within what is available.
    forall(r in Resources)
        ResourceLimit: sum(p in Products) usage[p][r] * make[p] <= available[r];

    // Nothing is made without the machine.
    forall(p in Products)
        NeedsMachine: make[p] <= maxUnits[p] * rent[p];
}
