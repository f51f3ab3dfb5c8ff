int nBoxes = ...;
int nTrucks = ...;
range Boxes = 1..nBoxes;
range Trucks = 1..nTrucks;
float weight[Boxes] = ...;
float capacity = ...;

dvar boolean load[Boxes][Trucks];
dvar boolean used[Trucks];

minimize TrucksUsed: sum(k in Trucks) used[k];

subject to {
    forall(b in Boxes)
        OneTruck: sum(k in Trucks) load[b][k] == 1;
    forall(k in Trucks)
        Capacity: sum(b in Boxes) weight[b] * load[b][k] <= capacity * used[k];
}
