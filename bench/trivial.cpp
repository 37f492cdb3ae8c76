// The floor: a static program of the tool's toolchain that does nothing.
int main() { return 0; }
