int nWeeks = ...;
range Weeks = 1..nWeeks;
float demand[Weeks] = ...;
float setupCost = ...;
float unitCost = ...;
float holdingCost = ...;
float capacity = ...;

dvar float+ produce[Weeks];
dvar float+ stock[Weeks];
dvar boolean setup[Weeks];

minimize Cost: sum(w in Weeks) (setupCost * setup[w] + unitCost * produce[w] + holdingCost * stock[w]);

subject to {
    FirstWeek: produce[1] - stock[1] == demand[1];
    forall(w in Weeks: w > 1)
        Balance: stock[w - 1] + produce[w] - stock[w] == demand[w];
    forall(w in Weeks)
        Setup: produce[w] <= capacity * setup[w];
}
