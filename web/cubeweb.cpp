// Placeholder: the server comes next.
int main() { return 1; }
