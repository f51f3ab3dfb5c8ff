float canoeProfit = ...;
float kayakProfit = ...;
float canoeHours = ...;
float kayakHours = ...;
float hours = ...;
float canoeGlass = ...;
float kayakGlass = ...;
float glass = ...;

dvar int+ canoes;
dvar int+ kayaks;

maximize Profit: canoeProfit * canoes + kayakProfit * kayaks;

subject to {
    Workshop: canoeHours * canoes + kayakHours * kayaks <= hours;
    Fibreglass: canoeGlass * canoes + kayakGlass * kayaks <= glass;
}
