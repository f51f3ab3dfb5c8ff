// Assignment problem: one translator per document and one document per
// translator, minimising total working hours.

{string} Translators = ...;
{string} Documents = ...;

float hours[Translators][Documents] = ...;   // estimated hours for each pairing

// assign[t][d] = 1 if translator t takes document d.
dvar boolean assign[Translators][Documents];

// Objective: total hours of all assignments.
minimize TotalHours: sum(t in Translators, d in Documents) hours[t][d] * assign[t][d];

subject to {
    // Each translator takes exactly one document.
    forall(t in Translators)
        OneDocumentEach: sum(d in Documents) assign[t][d] == 1;

    // Each document goes to exactly one translator.
    forall(d in Documents)
        OneTranslatorEach: sum(t in Translators) assign[t][d] == 1;
}
