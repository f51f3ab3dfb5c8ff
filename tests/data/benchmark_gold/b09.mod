float initial = ...;
float rateA = ...;
float rateB = ...;
float rateC = ...;
float maxC = ...;

// a1..a3: one-year deposits in years 1-3; b1, b2: two-year bonds; c1: three-year note.
dvar float+ a1;
dvar float+ a2;
dvar float+ a3;
dvar float+ b1;
dvar float+ b2;
dvar float+ c1;

maximize FinalCash: (1 + rateA) * a3 + (1 + rateB) * b2 + (1 + rateC) * c1;

subject to {
    Year1: a1 + b1 + c1 == initial;
    Year2: a2 + b2 == (1 + rateA) * a1;
    Year3: a3 == (1 + rateA) * a2 + (1 + rateB) * b1;
    NoteLimit: c1 <= maxC;
}
