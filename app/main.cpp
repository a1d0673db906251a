// Program entry: runs the start-up sequence, the main frame, and shut-down.
int main() { return 0; }
