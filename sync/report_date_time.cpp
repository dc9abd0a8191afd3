#include "output/output.h"
#include "sync/sync.h"

static const char *const day_names[8] = {"Mon", "Tue", "Wen", "Thu", "Fri", "Sat", "Sun", "  "};

// NetWare counts the days of the week from 0 for Sunday; 1 to 7 name
// Monday to Sunday, and anything above 7 has no name.
static const char *day_name(uint8_t day_of_week)
{
    if (day_of_week == 0)
        return day_names[6];
    if (day_of_week > 7)
        return day_names[7];
    return day_names[day_of_week - 1];
}

void report_date_time(const uint8_t date_time[7])
{
    emit_message("DateTime: %s %d.%d. %d, %d:%02d:%02d\r\n", day_name(date_time[6]),
                 date_time[2], date_time[1], date_time[0] + 1900, date_time[3], date_time[4],
                 date_time[5]);
}
