// p-median: open clinics in some towns, serve each town from its nearest open one.
{string} Towns = ...;
float population[Towns] = ...;
float km[Towns][Towns] = ...;
int nClinics = ...;

dvar boolean open[Towns];
dvar boolean serve[Towns][Towns];   // serve[t][c]: town t is served by a clinic in town c

minimize PersonKm: sum(t in Towns, c in Towns) population[t] * km[t][c] * serve[t][c];

subject to {
  forall(t in Towns) Served: sum(c in Towns) serve[t][c] == 1;
  forall(t in Towns, c in Towns) OnlyOpen: serve[t][c] <= open[c];
  Clinics: sum(c in Towns) open[c] == nClinics;
}
