// Cyclic staffing: nurses work five consecutive days of a repeating week;
// cover every day's requirement with the fewest nurses.

range Days = 1..7;                     // Monday = 1 ... Sunday = 7

float required[Days] = ...;            // nurses needed on each day
int onDuty[Days][Days] = ...;          // onDuty[d][s] = 1 if a nurse starting on day s works on day d

// Nurses starting their five-day stretch on each day.
dvar int+ start[Days];

// Objective: number of nurses employed.
minimize Nurses: sum(s in Days) start[s];

subject to {
    // Nurses on duty each day (the week wraps around) meet the requirement.
    forall(d in Days)
        DailyCover: sum(s in Days) onDuty[d][s] * start[s] >= required[d];
}
