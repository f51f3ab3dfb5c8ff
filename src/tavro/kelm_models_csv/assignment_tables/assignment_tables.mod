// Generalised assignment over a table of options: each task goes to one
// agent among its options, within every agent's hours.
tuple Option { string task; string agent; float cost; float hours; }
{Option} Options = ...;
{string} Tasks = ...;
{string} Agents = ...;
float available[Agents] = ...;

dvar boolean assign[Options];

minimize TotalCost: sum(o in Options) o.cost * assign[o];

subject to {
  forall(t in Tasks) Once: sum(o in Options: o.task == t) assign[o] == 1;
  forall(a in Agents) Hours: sum(o in Options: o.agent == a) o.hours * assign[o] <= available[a];
}
