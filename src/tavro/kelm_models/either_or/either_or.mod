// Either-or constraints: production must fit the hours of whichever of two
// finishing processes is chosen (big-M disjunction with one binary).

float tableProfit = ...;       // EUR per table
float chairProfit = ...;       // EUR per chair
float tableBoard = ...;        // m2 of board per table
float chairBoard = ...;        // m2 of board per chair
float boardStock = ...;        // m2 of board available
float brushTable = ...;        // brush hours per table
float brushChair = ...;        // brush hours per chair
float brushHours = ...;        // brush hours available
float sprayTable = ...;        // spray hours per table
float sprayChair = ...;        // spray hours per chair
float sprayHours = ...;        // spray hours available
float bigM = ...;              // slack large enough to switch a process row off

dvar int+ tables;
dvar int+ chairs;
// useSpray = 1 if the spray process is chosen, 0 for the brush process.
dvar boolean useSpray;

// Objective: profit of the month.
maximize Profit: tableProfit * tables + chairProfit * chairs;

subject to {
    BoardStock: tableBoard * tables + chairBoard * chairs <= boardStock;

    // Brush hours bind only when the brush process is chosen.
    BrushHours: brushTable * tables + brushChair * chairs <= brushHours + bigM * useSpray;

    // Spray hours bind only when the spray process is chosen.
    SprayHours: sprayTable * tables + sprayChair * chairs <= sprayHours + bigM * (1 - useSpray);
}
