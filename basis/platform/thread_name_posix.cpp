#include <pthread.h>

#include "basis/thread_name.h"

namespace basis {

void NameThisThread(const char* name) {
    pthread_setname_np(pthread_self(), name);
}

}  // namespace basis
