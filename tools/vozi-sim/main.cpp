// vozi-sim: command-line front end of the simulated instrument.
int main() { return 0; }
