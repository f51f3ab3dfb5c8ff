// Travelling salesman on six cities with Miller-Tucker-Zemlin subtour
// elimination; city 1 is the depot.

int n = ...;                           // number of cities
range Cities = 1..n;

float drive[Cities][Cities] = ...;     // driving minutes between cities

// go[i][j] = 1 if the tour drives from i straight to j.
dvar boolean go[Cities][Cities];
// Position of each city in the tour (the depot is 1).
dvar float order[Cities] in 1..n;

// Objective: total driving time of the tour.
minimize DrivingTime: sum(i in Cities, j in Cities: i != j) drive[i][j] * go[i][j];

subject to {
    // No arc from a city to itself.
    forall(i in Cities)
        NoLoop: go[i][i] == 0;

    // Leave every city once and enter every city once.
    forall(i in Cities)
        LeaveOnce: sum(j in Cities: j != i) go[i][j] == 1;
    forall(j in Cities)
        EnterOnce: sum(i in Cities: i != j) go[i][j] == 1;

    // The depot comes first.
    DepotFirst: order[1] == 1;

    // Miller-Tucker-Zemlin: a city reached from i comes after i, which
    // rules out any cycle that avoids the depot.
    forall(i in Cities, j in Cities: i != j && j > 1)
        Subtour: order[i] - order[j] + n * go[i][j] <= n - 1;
}
