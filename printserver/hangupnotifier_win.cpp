// Windows has no SIGHUP: the notifier never fires.
#include "hangupnotifier.h"

void HangupNotifier::holdBack()
{
}

HangupNotifier::HangupNotifier(QObject *parent)
    : QObject(parent)
{
}

HangupNotifier::~HangupNotifier() = default;
