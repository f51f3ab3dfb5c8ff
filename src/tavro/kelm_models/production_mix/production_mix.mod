// Product mix: choose the output of each product within resource and
// market limits to maximise profit.

{string} Bars = ...;
{string} Resources = ...;

float profit[Bars] = ...;                  // EUR per tonne
float use[Bars][Resources] = ...;          // resource use per tonne of bars
float available[Resources] = ...;          // monthly amount of each resource
float market[Bars] = ...;                  // most tonnes the market takes

// Tonnes of each bar produced this month.
dvar float+ produce[Bars];

// Objective: monthly profit.
maximize Profit: sum(b in Bars) profit[b] * produce[b];

subject to {
    forall(r in Resources)
        ResourceLimit: sum(b in Bars) use[b][r] * produce[b] <= available[r];

    forall(b in Bars)
        MarketLimit: produce[b] <= market[b];
}
