// Portfolio selection as an LP: maximise expected return under
// diversification, class and average-risk rules.

{string} Funds = ...;
{string} Bonds = ...;                  // the funds counted as bonds

float budget = ...;                    // EUR to invest
float expReturn[Funds] = ...;          // expected yearly return (fraction)
float risk[Funds] = ...;               // risk score of each fund
float maxShare = ...;                  // most share of the budget in one fund
float minBondShare = ...;              // least share in bonds together
float maxEmerging = ...;               // most share in emerging markets
float maxAvgRisk = ...;                // most weighted average risk score

// EUR invested in each fund.
dvar float+ invest[Funds];

// Objective: expected return in EUR.
maximize ExpectedReturn: sum(f in Funds) expReturn[f] * invest[f];

subject to {
    InvestAll: sum(f in Funds) invest[f] == budget;

    forall(f in Funds)
        Diversify: invest[f] <= maxShare * budget;

    BondFloor: sum(f in Bonds) invest[f] >= minBondShare * budget;

    EmergingCap: invest["Emerging"] <= maxEmerging * budget;

    // Weighted average risk, written without dividing by the total.
    AverageRisk: sum(f in Funds) risk[f] * invest[f] <= maxAvgRisk * budget;
}
