// The delivery thread's share of the processor on Linux.
#include "deliveryqueue.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

void DeliveryQueue::yieldToReception()
{
    // A thread of its own has a nice value of its own on Linux. At 10 a
    // delivery still gets a tenth of a busy processor, and all of an idle
    // one, but no longer pushes aside a client or the event-loop thread when
    // it wakes for each job. Without it everything still works.
    ::setpriority(PRIO_PROCESS, id_t(::syscall(SYS_gettid)), 10);
}
