// Log names, the configuration setters and engine start-up of the executer.
#include "Common/Gui/MigExecuter.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <utility>

namespace tavir::gui {

QString getTempPath()
{
    // The XDG base directory rules ignore a relative value.
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!state.isEmpty() && QFileInfo(state).isAbsolute())
        return state;
    return QDir::homePath() + "/.local/state";
}

bool createDirectoryIfNotExists(const QString& path)
{
    return QDir(path).exists() || QDir().mkpath(path);
}

MigExecuter::MigExecuter(EngineEntries engineEntries)
    : entries(std::move(engineEntries))
{
    generateLogNames();
    engineStarted = entries.init(configuration.reportFile, configuration.debugFile);
}

MigExecuter::~MigExecuter()
{
    entries.done();
}

void MigExecuter::generateLogNames()
{
    const QString stamp = QDateTime::currentDateTime().toString("MMddyyyy_hhmmss");
    const QString directory = getTempPath() + "/ZorpLogs/" + stamp;
    // A second start in the same second finds the folder and shares it.
    if (!createDirectoryIfNotExists(directory))
        return;
    configuration.logDirectory = directory.toStdWString();
    configuration.reportFile = (directory + "/report.txt").toStdWString();
    configuration.debugFile = (directory + "/debug.log").toStdWString();
}

void MigExecuter::setServer(const QString& host, bool ssl)
{
    configuration.sourceServer = host.toStdWString();
    configuration.sourceSsl = ssl;
}

void MigExecuter::setCvn(const QString& host, const QString& user, const QString& password, bool ssl)
{
    configuration.targetServer = host.toStdWString();
    configuration.adminUser = user.toStdWString();
    configuration.adminPassword = password.toStdWString();
    configuration.targetSsl = ssl;
}

} // namespace tavir::gui
