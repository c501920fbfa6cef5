// The executable that carries the tests' precompiled headers (support/precompiled.h), which the
// test executables reuse. Built, never run.
int main()
{
    return 0;
}
