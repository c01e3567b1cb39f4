// What quillport's main does, callable in process by tests.
#include "quillportmain.h"

#include "printerservice.h"

int quillportMain(int argc, char **argv)
{
    PrinterService service(argc, argv);
    const int code = service.exec();
    ServiceBase::instance()->logMessage(QStringLiteral("Service stopped with code %1").arg(code),
                                        code != 0 ? ServiceBase::ErrorEvent : ServiceBase::InformationEvent, 0,
                                        0, QByteArray());
    return code;
}
