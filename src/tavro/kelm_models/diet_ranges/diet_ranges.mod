// Diet with nutrient bands: every nutrient must lie between a lower and an
// upper limit (range constraints), at minimum cost.

{string} Foods = ...;
{string} Nutrients = ...;

float cost[Foods] = ...;                   // EUR per portion
float content[Foods][Nutrients] = ...;     // nutrient amount per portion
float lower[Nutrients] = ...;              // least amount in the lunch
float upper[Nutrients] = ...;              // most amount in the lunch
float maxPortions = ...;                   // portions of one food at most

// Portions of each food (fractions allowed).
dvar float portions[Foods] in 0..maxPortions;

// Objective: cost of the lunch.
minimize LunchCost: sum(f in Foods) cost[f] * portions[f];

subject to {
    // Each nutrient lies within its band.
    forall(n in Nutrients)
        NutrientBand: lower[n] <= sum(f in Foods) content[f][n] * portions[f] <= upper[n];

    // A vegetable portion is compulsory.
    Vegetable: portions["Broccoli"] >= 1;
}
