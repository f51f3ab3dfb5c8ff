{string} Sites = ...;
range Villages = 1..7;
float cost[Sites] = ...;
int covers[Sites][Villages] = ...;

dvar boolean tower[Sites];

minimize Cost: sum(s in Sites) cost[s] * tower[s];

subject to {
    forall(v in Villages)
        Covered: sum(s in Sites) covers[s][v] * tower[s] >= 1;
}
