// The entry of quillport: the one service object and its command line.
#include "printerservice.h"

int main(int argc, char **argv)
{
    int code;
    {
        PrinterService service(argc, argv);
        code = service.exec();
        ServiceBase::instance()->logMessage(QStringLiteral("Service stopped with code %1").arg(code),
                                            code != 0 ? ServiceBase::ErrorEvent : ServiceBase::InformationEvent,
                                            0, 0, QByteArray());
    }
    return code;
}
