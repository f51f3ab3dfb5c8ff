// Blending: mix ingredients into a batch whose nutrient shares lie within
// quality bands, at minimum ingredient cost.

{string} Ingredients = ...;
{string} Qualities = ...;               // protein, fibre, fat

float price[Ingredients] = ...;         // EUR per tonne
float stock[Ingredients] = ...;         // tonnes available at the mill
float share[Ingredients][Qualities] = ...;   // fraction of each quality in an ingredient
float minShare[Qualities] = ...;        // lower band of the batch (fraction)
float maxShare[Qualities] = ...;        // upper band of the batch (fraction)
float batchSize = ...;                  // tonnes in the batch
float molassesLimit = ...;              // handling limit for molasses (t)

// Tonnes of each ingredient in the batch.
dvar float+ use[Ingredients];

// Objective: ingredient cost of the batch.
minimize BatchCost: sum(i in Ingredients) price[i] * use[i];

subject to {
    // The batch has exactly the planned weight.
    BatchWeight: sum(i in Ingredients) use[i] == batchSize;

    // Each quality lies within its band over the whole batch.
    forall(q in Qualities)
        QualityBand: minShare[q] * batchSize <= sum(i in Ingredients) share[i][q] * use[i]
                     <= maxShare[q] * batchSize;

    // No ingredient beyond its stock.
    forall(i in Ingredients)
        StockLimit: use[i] <= stock[i];

    // Molasses is hard to handle in large amounts.
    MolassesHandling: use["Molasses"] <= molassesLimit;
}
