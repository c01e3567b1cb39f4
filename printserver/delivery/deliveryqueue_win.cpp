// The delivery thread's share of the processor on Windows.
#include "deliveryqueue.h"

#include <windows.h>

void DeliveryQueue::yieldToReception()
{
    // Below normal: a delivery runs when the reception of jobs leaves a
    // processor free, which on a print server is nearly always.
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}
