// Placeholder entry point until start-up lands.
int main() { return 0; }
