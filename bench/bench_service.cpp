// The smallest service there is: it reports RUNNING when started and STOPPED as soon as it
// is told to stop. Its stop is what the service control manager itself costs.
#include "tests/common/smallest_service.h"

int main()
{
    RunSmallestService(L"Varnholt Bench Service");
    return 0;
}
