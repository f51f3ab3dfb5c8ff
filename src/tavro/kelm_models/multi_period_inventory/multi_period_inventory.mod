// Multi-period inventory: buy ahead of price rises, carry stock from month
// to month, and meet every month's demand at minimum cost.

int nMonths = ...;
range Months = 1..nMonths;

float demand[Months] = ...;        // thousand litres delivered each month
float price[Months] = ...;         // EUR per thousand litres bought
float buyLimit = ...;              // most thousand litres bought in a month
float tankSize = ...;              // most thousand litres held at a month's end
float holdingCost = ...;           // EUR per thousand litres held at a month's end
float initialStock = ...;          // thousand litres in the tank at the start
float finalStock = ...;            // least thousand litres left after the last month

dvar float+ buy[Months] in 0..buyLimit;
dvar float+ stock[Months] in 0..tankSize;

// Objective: purchases plus storage.
minimize TotalCost: sum(t in Months) (price[t] * buy[t] + holdingCost * stock[t]);

subject to {
    // The first month starts from the initial stock.
    FirstBalance: initialStock + buy[1] - demand[1] == stock[1];

    // Every later month starts from the previous month's closing stock.
    forall(t in Months: t > 1)
        Balance: stock[t - 1] + buy[t] - demand[t] == stock[t];

    // Oil left in the tank at the end of the plan.
    EndStock: stock[nMonths] >= finalStock;
}
