// Multi-period production plan with stock and overtime.
{string} Products = ...;
int nPeriods = ...;
range Periods = 1..nPeriods;
float hoursPerUnit[Products] = ...;
float holdingCost[Products] = ...;
float initialStock[Products] = ...;
float hours[Periods] = ...;
float maxOvertime[Periods] = ...;
float demand[Products][Periods] = ...;
float unitCost[Products][Periods] = ...;
float overtimeCost = ...;

dvar float+ make[Products][Periods];
dvar float+ stock[Products][Periods];
dvar float+ overtime[t in Periods] in 0..maxOvertime[t];

minimize TotalCost:
  sum(p in Products, t in Periods) (unitCost[p][t] * make[p][t] + holdingCost[p] * stock[p][t])
  + sum(t in Periods) overtimeCost * overtime[t];

subject to {
  forall(p in Products, t in Periods: t == 1)
    FirstBalance: stock[p][t] == initialStock[p] + make[p][t] - demand[p][t];
  forall(p in Products, t in Periods: t > 1)
    Balance: stock[p][t] == stock[p][t - 1] + make[p][t] - demand[p][t];
  forall(t in Periods) Capacity: sum(p in Products) hoursPerUnit[p] * make[p][t] <= hours[t] + overtime[t];
}
