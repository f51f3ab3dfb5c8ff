// Capital budgeting: select projects of greatest total value within yearly
// budgets, with one exclusion and one dependency between projects.

{string} Projects = ...;
range Years = 1..3;

float worth[Projects] = ...;             // net social value (MEUR)
float spend[Projects][Years] = ...;      // money needed in each year (MEUR)
float budget[Years] = ...;               // money available in each year (MEUR)

// fund[p] = 1 if project p is funded.
dvar boolean fund[Projects];

// Objective: total value of the funded projects.
maximize TotalWorth: sum(p in Projects) worth[p] * fund[p];

subject to {
    // Spending in each year stays within that year's budget.
    forall(y in Years)
        YearlyBudget: sum(p in Projects) spend[p][y] * fund[p] <= budget[y];

    // The sports hall and the school extension share one plot.
    SharedPlot: fund["SportsHall"] + fund["School"] <= 1;

    // Street lighting is only funded together with the cycle path.
    LightingNeedsPath: fund["Lighting"] <= fund["CyclePath"];
}
