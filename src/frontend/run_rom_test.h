#ifndef ROMTEST_FRONTEND_RUN_ROM_TEST_H_
#define ROMTEST_FRONTEND_RUN_ROM_TEST_H_

// Runs the whole test for one command line; returns the exit status (0 or 1).
int RunRomTest(int argc, char** argv);

#endif  // ROMTEST_FRONTEND_RUN_ROM_TEST_H_
