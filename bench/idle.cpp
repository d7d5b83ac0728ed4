// A main program that does nothing, so that a benchmark measures only what it
// costs to start it.
int main() { return 0; }
