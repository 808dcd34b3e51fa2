// The process entry: creates the real platform services and runs Main.
int main() { return 0; }
