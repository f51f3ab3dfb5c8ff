{string} Packs = ...;
float eggs[Packs] = ...;
float price[Packs] = ...;
float need = ...;

dvar int+ buy[Packs];

minimize Cost: sum(p in Packs) price[p] * buy[p];

subject to {
    Enough: sum(p in Packs) eggs[p] * buy[p] >= need;
}
