{string} Crops = ...;
float profit[Crops] = ...;
float labour[Crops] = ...;
float fertiliser[Crops] = ...;
float land = ...;
float labourDays = ...;
float fertiliserKg = ...;
float rapeseedMax = ...;

dvar float+ area[Crops];

maximize Profit: sum(c in Crops) profit[c] * area[c];

subject to {
    Land: sum(c in Crops) area[c] <= land;
    Labour: sum(c in Crops) labour[c] * area[c] <= labourDays;
    Fertiliser: sum(c in Crops) fertiliser[c] * area[c] <= fertiliserKg;
    Rotation: area["Rapeseed"] <= rapeseedMax;
}
