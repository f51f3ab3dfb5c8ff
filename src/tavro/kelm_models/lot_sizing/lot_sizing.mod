// Lot sizing with setup costs: production in a week requires that week's
// setup (binary linked to the amount through its capacity), and stock
// carries demand forward from week to week.

int nWeeks = ...;
range Weeks = 1..nWeeks;

float demand[Weeks] = ...;         // crates ordered each week
float setupCost = ...;             // EUR per week the line runs
float unitCost = ...;              // EUR per crate made
float holdingCost = ...;           // EUR per crate in the freezer at a week's end
float lineCapacity = ...;          // most crates made in a week
float freezerSize = ...;           // most crates in the freezer at a week's end
float initialStock = ...;          // crates in the freezer at the start

dvar float+ make[Weeks];
dvar float+ stock[Weeks] in 0..freezerSize;
// run[t] = 1 if the line is set up in week t.
dvar boolean run[Weeks];

// Objective: setups, production and freezing.
minimize TotalCost: sum(t in Weeks) (setupCost * run[t] + unitCost * make[t] + holdingCost * stock[t]);

subject to {
    // The first week starts from the initial stock.
    FirstWeek: initialStock + make[1] - demand[1] == stock[1];

    // Later weeks start from the previous week's closing stock.
    forall(t in Weeks: t > 1)
        Carry: stock[t - 1] + make[t] - demand[t] == stock[t];

    // Nothing is made in a week without a setup, and never above capacity.
    forall(t in Weeks)
        SetupLink: make[t] <= lineCapacity * run[t];
}
