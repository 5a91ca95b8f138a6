// Starts and ends: the floor for the wall time of a whole fullcal run.
int main()
{
    return 0;
}
