// 0-1 knapsack: pick items of greatest total value within a weight limit.

int nItems = ...;              // number of candidate items
range Items = 1..nItems;       // items are numbered 1..nItems

float value[Items] = ...;      // usefulness score of each item
float weight[Items] = ...;     // weight of each item (kg)
float capacity = ...;          // weight the backpack can hold (kg)

// take[i] = 1 if item i is packed.
dvar boolean take[Items];

// Objective: total usefulness of the packed items.
maximize TotalValue: sum(i in Items) value[i] * take[i];

subject to {
    // The packed items fit within the weight limit.
    WeightLimit: sum(i in Items) weight[i] * take[i] <= capacity;
}
