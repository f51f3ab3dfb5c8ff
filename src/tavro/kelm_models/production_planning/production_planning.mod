// Multi-period production planning with regular time, overtime and
// inventory: meet monthly demand at minimum production plus holding cost.

int nMonths = ...;                 // planning horizon
range Months = 1..nMonths;

float demand[Months] = ...;        // bicycles required each month
float regularCost[Months] = ...;   // cost per bicycle on regular time (EUR)
float overtimePremium = ...;       // extra cost per bicycle on overtime (EUR)
float regularCapacity = ...;       // bicycles per month on regular time
float overtimeCapacity = ...;      // bicycles per month on overtime
float holdingCost = ...;           // cost per bicycle in stock at month end (EUR)
float storageLimit = ...;          // warehouse capacity (bicycles)
float initialStock = ...;          // stock at the start of month 1

// Bicycles built on regular time and on overtime, and stock at month end.
dvar float+ regular[Months];
dvar float+ overtime[Months];
dvar float+ stock[Months];

dexpr float productionCost =
    sum(m in Months) (regularCost[m] * regular[m] + (regularCost[m] + overtimePremium) * overtime[m]);
dexpr float storageCost = sum(m in Months) holdingCost * stock[m];

// Objective: production plus holding cost over the horizon.
minimize TotalCost: productionCost + storageCost;

subject to {
    // Month 1 starts from the initial stock.
    FirstMonthBalance: initialStock + regular[1] + overtime[1] - stock[1] == demand[1];

    // Later months carry the previous month's stock forward.
    forall(m in Months: m > 1)
        StockBalance: stock[m - 1] + regular[m] + overtime[m] - stock[m] == demand[m];

    // Production and storage limits.
    forall(m in Months) {
        RegularLimit: regular[m] <= regularCapacity;
        OvertimeLimit: overtime[m] <= overtimeCapacity;
        StorageLimitMonth: stock[m] <= storageLimit;
    }
}
