{string} Mills = ...;
{string} Bakeries = ...;
float supply[Mills] = ...;
float demand[Bakeries] = ...;
float cost[Mills][Bakeries] = ...;

dvar float+ ship[Mills][Bakeries];

minimize TransportCost: sum(m in Mills, b in Bakeries) cost[m][b] * ship[m][b];

subject to {
    forall(m in Mills)
        Supply: sum(b in Bakeries) ship[m][b] <= supply[m];
    forall(b in Bakeries)
        Demand: sum(m in Mills) ship[m][b] >= demand[b];
}
