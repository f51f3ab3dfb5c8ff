// Cutting stock with a given list of patterns: fill every order with the
// fewest jumbo rolls.

{string} Patterns = ...;       // cutting patterns that fit the jumbo width
{int} Widths = ...;            // ordered widths (cm)

int pieces[Patterns][Widths] = ...;    // narrow rolls of each width one pattern yields
float ordered[Widths] = ...;           // narrow rolls ordered of each width

// Jumbo rolls cut with each pattern.
dvar int+ cut[Patterns];

// Objective: jumbo rolls used.
minimize JumboRolls: sum(p in Patterns) cut[p];

subject to {
    // Every order is filled (surplus goes to stock).
    forall(w in Widths)
        FillOrder: sum(p in Patterns) pieces[p][w] * cut[p] >= ordered[w];
}
