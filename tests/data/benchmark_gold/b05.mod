{string} Guards = ...;
{string} Beaches = ...;
float minutes[Guards][Beaches] = ...;

dvar boolean assign[Guards][Beaches];

minimize TotalMinutes: sum(g in Guards, b in Beaches) minutes[g][b] * assign[g][b];

subject to {
    forall(g in Guards)
        OneBeach: sum(b in Beaches) assign[g][b] == 1;
    forall(b in Beaches)
        OneGuard: sum(g in Guards) assign[g][b] == 1;
}
