// Diet problem: choose daily servings of foods that cover every nutrient
// requirement at minimum cost.

{string} Foods = ...;          // foods available to the kitchen
{string} Nutrients = ...;      // nutrients with a daily minimum

float costPerServing[Foods] = ...;              // price of one serving (EUR)
float content[Foods][Nutrients] = ...;          // nutrient amount in one serving
float minIntake[Nutrients] = ...;               // daily minimum of each nutrient
int maxServings = ...;                          // variety rule: servings per food per day

// Servings of each food per day; fractional portions are allowed.
dvar float servings[Foods] in 0..maxServings;

// Objective: the cheapest menu.
minimize TotalCost: sum(f in Foods) costPerServing[f] * servings[f];

subject to {
    // Every nutrient reaches its daily minimum.
    forall(n in Nutrients)
        NutrientMinimum: sum(f in Foods) content[f][n] * servings[f] >= minIntake[n];
}
