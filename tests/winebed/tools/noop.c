/* noop.exe: ends at once with exit code 0. The benchmark's baseline: what
 * starting any program in a warm Wine session costs. */
int main(void) { return 0; }
