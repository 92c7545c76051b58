// tapedecoder-workbench: the desktop workbench for recordings of tapes.
#include <QApplication>
#include <QCommandLineParser>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "io/output_set.h"
#include "workbench/main_window.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("tapedecoder"));
  QApplication::setApplicationName(QStringLiteral("tapedecoder-workbench"));
  QApplication::setApplicationVersion(QStringLiteral(TAPEDECODER_VERSION));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("tapedecoder-workbench")));
  // Saves leave no hidden temporaries behind when the session ends.
  tapedecoder::InstallInterruptCleanup();

  // The interface follows the system's language (English and Russian).
  QTranslator own, qt;
  if (own.load(QLocale(), QStringLiteral("tapedecoder-workbench"), QStringLiteral("_"), QStringLiteral(":/i18n")))
    QApplication::installTranslator(&own);
  if (qt.load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
              QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QApplication::installTranslator(&qt);

  QCommandLineParser parser;
  parser.setApplicationDescription(QCoreApplication::translate(
      "main", "Shows a recording of a tape with the blocks read from it, and saves the tape."));
  parser.addHelpOption();
  parser.addVersionOption();
  parser.addPositionalArgument(QStringLiteral("recording"),
                               QCoreApplication::translate("main", "The recording to open; further ones are added as takes."),
                               QStringLiteral("[recording...]"));
  parser.process(application);

  tapedecoder::MainWindow window;
  const QStringList files = parser.positionalArguments();
  for (int i = 0; i < files.size(); ++i) {
    if (i == 0) window.openRecording(files[i]);
    else window.addTake(files[i]);
  }
  window.show();
  return QApplication::exec();
}
