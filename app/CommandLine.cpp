#include "app/CommandLine.h"

#include "ui/MainFM.h"

#include <QCommandLineParser>

#include <cstring>
#include <utility>

#ifndef SENTREL_VERSION
#error "SENTREL_VERSION must name the project version"
#endif

namespace {

const char* const Usage =
    "usage: sentrel [admin] [--console] [-debug] [Qt options]\n"
    "       sentrel --console [--metrics ADDRESS:PORT]\n"
    "       sentrel --import FILE | --export-devices FILE\n"
    "       sentrel --install-service [--force]\n"
    "Watches network devices from the notification area by ICMP echo.\n"
    "\n"
    "  admin          as the first argument (also -admin, /admin or \\admin, any\n"
    "                 letter case): the options dialog opens in administration mode\n"
    "  --console      runs the monitoring without a window and prints each status\n"
    "                 change; SIGINT or SIGTERM stops it\n"
    "  --metrics ADDRESS:PORT\n"
    "                 with --console: serves the devices' state to Prometheus on\n"
    "                 http://ADDRESS:PORT/metrics (PORT alone: 127.0.0.1), over the\n"
    "                 settings' address; \"\" serves none. No authentication: give an\n"
    "                 address other than 127.0.0.1 only behind a firewall\n"
    "  --install-service [--force]\n"
    "                 installs --console as a systemd user service of this user\n"
    "                 (~/.config/systemd/user/sentrel.service) and says how to\n"
    "                 start it; --force replaces a different unit of that name\n"
    "  -debug         also /debug: writes the help system's log HHDebug.txt\n"
    "  -h, --help     prints this help and exits\n"
    "  -v, --version  prints the version and exits\n"
    "\n"
    "  --import FILE  adds the devices of FILE (\"-\": standard input) to the\n"
    "                 settings without a window: one host per line, or CSV or\n"
    "                 tab-separated with a header (host, description, type,\n"
    "                 monitored); ranges such as 10.0.0.1-50 and blocks such as\n"
    "                 10.0.0.0/24. Prints each host added and each line skipped.\n"
    "                 Exit status: 0 all read, 1 some lines invalid (the others are\n"
    "                 added), 2 nothing done (FILE or the settings unreadable, the\n"
    "                 save failed, or another copy runs on the settings)\n"
    "  --export-devices FILE\n"
    "                 writes the device list to FILE (\"-\": standard output) as CSV\n"
    "                 that --import reads back; exit status 0, or 2 when it fails\n"
    "\n"
    "The window toolkit's standard options (-platform, -display, -style, -session,\n"
    "...) are accepted.\n";

// Options that Qt takes out of the command line itself; accepted here so
// that they are not reported as unknown (the session manager, for one,
// restarts the program with -session).
const char* const QtValueOptions =
    "platform platformpluginpath platformtheme plugin qwindowgeometry "
    "qwindowicon qwindowtitle session display geometry title icon "
    "name visual style stylesheet qmljsdebugger";
const char* const QtFlagOptions = "reverse widgetcount testability nograb dograb";

// The program's own words, which are no options in the parser's sense.
bool IsOwnWord(const QString& Argument) {
    return TMain::IsAdminSwitch({Argument}) ||
           Argument.compare(QLatin1String("-debug"), Qt::CaseInsensitive) == 0 ||
           Argument.compare(QLatin1String("/debug"), Qt::CaseInsensitive) == 0;
}

// The argument as typed whose option name the parser did not know.
QString TypedOption(const QStringList& Arguments, const QString& Name) {
    for (const QString& argument : Arguments) {
        if (argument == QLatin1String("--"))
            break;
        QString name = argument.section(QLatin1Char('='), 0, 0);
        name.remove(0, name.startsWith(QLatin1String("--")) ? 2 : 1);
        if (argument.startsWith(QLatin1Char('-')) && name == Name)
            return argument.section(QLatin1Char('='), 0, 0);
    }
    return Name;
}

// Mirrors Qt, which takes its own options (with their values) out of the
// command line before the main window reads the rest.
bool FirstLeftIsAdmin(int argc, const char* const* argv) {
    const QStringList valued = QString::fromLatin1(QtValueOptions).split(QLatin1Char(' '));
    const QStringList flags = QString::fromLatin1(QtFlagOptions).split(QLatin1Char(' '));
    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        QString name = argument.section(QLatin1Char('='), 0, 0);
        name.remove(0, name.startsWith(QLatin1String("--")) ? 2 : 1);
        if (!argument.startsWith(QLatin1Char('-')) ||
            !(valued.contains(name) || flags.contains(name)))
            return TMain::IsAdminSwitch({argument});
        if (valued.contains(name) && !argument.contains(QLatin1Char('=')))
            ++i;
    }
    return false;
}

// An option's value as the bytes typed: a file name need not be UTF-8, and
// the parser's text has lost what was not.
std::string RawValue(int argc, const char* const* argv, const QString& Value) {
    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        if (argument == Value)
            return argv[i];
        const char* equals = std::strchr(argv[i], '=');
        if (argument.startsWith(QLatin1Char('-')) && equals != nullptr &&
            QString::fromLocal8Bit(equals + 1) == Value)
            return equals + 1;
    }
    return Value.toLocal8Bit().toStdString();
}

CommandLine Answer(CommandLine::Request What, std::string Text) {
    CommandLine line;
    line.What = What;
    line.Text = std::move(Text);
    return line;
}

CommandLine Invalid(const QString& Why) {
    return Answer(CommandLine::Request::Invalid,
                  "sentrel: " + Why.toStdString() + " (sentrel --help lists the options)\n");
}

} // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        if (!IsOwnWord(argument))
            arguments.append(argument);
    }
    QCommandLineParser parser;
    // Qt's own options are single-dash words (-platform, -style).
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")}, QString());
    const QCommandLineOption console(QStringLiteral("console"), QString());
    const QCommandLineOption import(QStringLiteral("import"), QString(), QStringLiteral("file"));
    const QCommandLineOption exportDevices(QStringLiteral("export-devices"), QString(),
                                           QStringLiteral("file"));
    const QCommandLineOption installService(QStringLiteral("install-service"), QString());
    const QCommandLineOption force(QStringLiteral("force"), QString());
    const QCommandLineOption metrics(QStringLiteral("metrics"), QString(),
                                     QStringLiteral("address"));
    parser.addOptions(
        {help, version, console, import, exportDevices, installService, force, metrics});
    for (const QString& name : QString::fromLatin1(QtValueOptions).split(QLatin1Char(' ')))
        parser.addOption({name, QString(), QStringLiteral("value")});
    for (const QString& name : QString::fromLatin1(QtFlagOptions).split(QLatin1Char(' ')))
        parser.addOption({name, QString()});
    if (!parser.parse(QStringList{QStringLiteral("sentrel")} + arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty())
            return Invalid(QStringLiteral("unknown option ") +
                           TypedOption(arguments, unknown.first()));
        return Invalid(parser.errorText());
    }
    if (parser.isSet(help))
        return Answer(CommandLine::Request::Help, Usage);
    if (parser.isSet(version))
        return Answer(CommandLine::Request::Version,
                      "sentrel (Kestrava Sentrel) " SENTREL_VERSION "\n");
    if (parser.isSet(metrics)) {
        if (!parser.isSet(console))
            return Invalid(QStringLiteral("--metrics goes with --console"));
        if (parser.values(metrics).size() > 1)
            return Invalid(QStringLiteral("--metrics is given more than once"));
    }
    // Import and export run alone: a second file or another mode beside
    // them would be ignored without a word, which a script never notices.
    for (const QCommandLineOption* file : {&import, &exportDevices}) {
        if (!parser.isSet(*file))
            continue;
        const QString name = QStringLiteral("--") + file->names().first();
        if (parser.values(*file).size() > 1)
            return Invalid(name + QStringLiteral(" is given more than once"));
        for (const QCommandLineOption* other : {&console, &import, &exportDevices, &installService})
            if (other != file && parser.isSet(*other))
                return Invalid(name + QStringLiteral(" cannot be combined with --") +
                               other->names().first());
        if (!parser.positionalArguments().isEmpty())
            return Invalid(name + QStringLiteral(" takes one file; ") +
                           parser.positionalArguments().first() +
                           QStringLiteral(" is one argument too many"));
        CommandLine line;
        line.What =
            file == &import ? CommandLine::Request::Import : CommandLine::Request::ExportDevices;
        line.File = RawValue(argc, argv, parser.value(*file));
        return line;
    }
    if (parser.isSet(force) && !parser.isSet(installService))
        return Invalid(QStringLiteral("--force goes with --install-service"));
    if (parser.isSet(installService)) {
        if (parser.isSet(console))
            return Invalid(QStringLiteral("--install-service cannot be combined with --console"));
        CommandLine line;
        line.What = CommandLine::Request::InstallService;
        line.Force = parser.isSet(force);
        return line;
    }
    CommandLine line;
    line.What =
        parser.isSet(console) ? CommandLine::Request::Console : CommandLine::Request::Window;
    line.Platform = parser.value(QStringLiteral("platform")).toStdString();
    line.Display = parser.value(QStringLiteral("display")).toStdString();
    line.Admin = FirstLeftIsAdmin(argc, argv);
    if (parser.isSet(metrics))
        line.Metrics = parser.value(metrics).toStdString();
    return line;
}
