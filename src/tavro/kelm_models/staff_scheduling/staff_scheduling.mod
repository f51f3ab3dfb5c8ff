// Shift scheduling: choose the number of agents on each shift so that every
// period of the day is covered, at minimum wage cost.

{string} Shifts = ...;                 // eight-hour shifts
range Periods = 1..6;                  // four-hour periods from midnight

int covers[Shifts][Periods] = ...;     // 1 if the shift is on duty in the period
float required[Periods] = ...;         // agents needed in each period
float wage[Shifts] = ...;              // cost of one agent on the shift (EUR)
int minPerShift = ...;                 // training rule: agents per shift

// Agents assigned to each shift (whole people).
dvar int+ agents[Shifts];

// Objective: total wage cost of the day.
minimize WageCost: sum(s in Shifts) wage[s] * agents[s];

subject to {
    // Enough agents on duty in every period.
    forall(p in Periods)
        PeriodCoverage: sum(s in Shifts) covers[s][p] * agents[s] >= required[p];

    // Every shift keeps a minimum crew.
    forall(s in Shifts)
        MinimumCrew: agents[s] >= minPerShift;
}
