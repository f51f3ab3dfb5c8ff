// Single-machine scheduling with release times and precedences: sequence the
// jobs with big-M disjunctions and minimise weighted completion time.

int nJobs = ...;
range Jobs = 1..nJobs;

float duration[Jobs] = ...;    // hours on the printer
float release[Jobs] = ...;     // earliest start (hours after opening)
float weight[Jobs] = ...;      // importance of finishing early
float bigM = ...;              // longer than any schedule

// A job that may only start after another one has finished.
tuple Precedence {
    int first;
    int then;
}
{Precedence} Precedences = ...;

// Start time of each job.
dvar float+ start[Jobs];
// before[i][j] = 1 if job i runs before job j (used for i < j only).
dvar boolean before[Jobs][Jobs];

// Objective: weighted sum of completion times.
minimize WeightedCompletion: sum(j in Jobs) weight[j] * (start[j] + duration[j]);

subject to {
    // No job starts before its files arrive.
    forall(j in Jobs)
        Release: start[j] >= release[j];

    // Precedences between jobs.
    forall(q in Precedences)
        Sequence: start[q.then] >= start[q.first] + duration[q.first];

    // One job at a time: for each pair, one runs entirely before the other.
    forall(i in Jobs, j in Jobs: i < j) {
        IBeforeJ: start[i] + duration[i] <= start[j] + bigM * (1 - before[i][j]);
        JBeforeI: start[j] + duration[j] <= start[i] + bigM * before[i][j];
    }
}
