#include "protocol/app_log.h"

log4cpp::Category &AppLogCategory() {
    static log4cpp::Category &s_objCategory = log4cpp::Category::getInstance("CATEGORY");
    return s_objCategory;
}
