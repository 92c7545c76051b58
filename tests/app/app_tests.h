// The Qt Test suites of the dialog program, run by app_tests_main.cpp.
#ifndef TAPEDECODER_TESTS_APP_APP_TESTS_H_
#define TAPEDECODER_TESTS_APP_APP_TESTS_H_

// Each runs one suite with QTest::qExec and returns its failure count.
int RunDialogTemplateTests(int argc, char** argv);
int RunTapeDecoderDlgTests(int argc, char** argv);

#endif  // TAPEDECODER_TESTS_APP_APP_TESTS_H_
