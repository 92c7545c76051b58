// Runs the dialog program's suites: all of them, or the one named by the
// first argument ("template" or "dialog"); further arguments go to Qt Test.
#include <QApplication>
#include <QByteArray>

#include <cstring>
#include <vector>

#include "app/app_tests.h"


int main(int argc, char** argv) {
  // Without a display QApplication aborts; the offscreen platform needs none.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));
  QApplication application(argc, argv);

  const char* suite = nullptr;
  std::vector<char*> args(argv, argv + argc);
  if (args.size() > 1 && args[1][0] != '-') {
    suite = args[1];
    args.erase(args.begin() + 1);
  }
  const int count = static_cast<int>(args.size());
  auto wanted = [suite](const char* name) {
    return suite == nullptr || std::strcmp(suite, name) == 0;
  };
  int failures = 0;
  bool ran = false;
  if (wanted("template")) {
    failures += RunDialogTemplateTests(count, args.data());
    ran = true;
  }
  if (wanted("dialog")) {
    failures += RunTapeDecoderDlgTests(count, args.data());
    ran = true;
  }
  if (!ran) return 2;  // an unknown suite name
  return failures == 0 ? 0 : 1;
}
