/* The floor of any start-up: a plain C program that starts and exits. */
int main(void) { return 0; }
