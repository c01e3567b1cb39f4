// What quillport's main does, callable in process by tests.
#include "quillportmain.h"

#include "printerservice.h"

#include <QtGlobal>

int quillportMain(int argc, char **argv)
{
    // Qt's own event loop rather than glib's: glib wakes itself through a
    // descriptor whenever a connection's notifier comes or goes, three
    // system calls per job more; side by side with the benchmark's durable
    // floor, one client's small jobs went from 0.72 to 0.85 of it to 0.71 to
    // 0.96 (medians 0.78 and 0.90). Whoever sets the variable decides.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    PrinterService service(argc, argv);
    const int code = service.exec();
    ServiceBase::instance()->logMessage(QStringLiteral("Service stopped with code %1").arg(code),
                                        code != 0 ? ServiceBase::ErrorEvent : ServiceBase::InformationEvent, 0,
                                        0, QByteArray());
    return code;
}
