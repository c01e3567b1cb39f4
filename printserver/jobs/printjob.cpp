// One complete job on its way to the printer.
#include "printjob.h"

QString PrintJob::label() const
{
    return QStringLiteral("Print job from ") + peer;
}

QString PrintJob::details() const
{
    QStringList shown;
    for (const Attribute &attribute : attributes) {
        if (attribute.shown)
            shown << QStringLiteral("%1 \"%2\"").arg(attribute.name, attribute.value);
    }
    return shown.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(shown.join(QStringLiteral(", ")));
}
