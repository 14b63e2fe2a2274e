/* The baseline for start-up measurements: a C program that does nothing,
   built with the same compiler flags as karvo; it loads only the C library. */
int main(int argc, char** argv) {
    (void)argv;
    return argc > 0 ? 0 : 1;
}
