/*
 * store_readers.h - what the record store's library offers to the web plug-in.
 *
 * The six readers fill a zeroed caller buffer with one page (10 rows) of
 * fixed-width, zero-terminated text fields, rewrite the matching CSV file under
 * data/ for download, and return the number of rows of the whole selection
 * (the chart: the rows filled, at most 1000), or -1 when the database cannot be
 * opened. Date arguments are day texts "YYYY-MM-DD"; pages count from 1. All of
 * them take the store's database lock for the whole call, so they may run in
 * any thread beside the store's writer.
 */
#ifndef SVC_STORE_READERS_H
#define SVC_STORE_READERS_H

#ifdef __cplusplus
extern "C" {
#endif

/* Row sizes of the caller buffers (bytes); every page holds 10 rows. */
enum {
    STORE_PAGE_ROWS = 10,
    STORE_UPS_ROW = 150,     /* six 25-byte slots */
    STORE_BATTEST_ROW = 50,  /* Time (0), RunTime (25) */
    STORE_CHART_ROW = 125,   /* time (0) and four values (25, 50, 75, 100) */
    STORE_CHART_ROWS = 1000, /* the chart fills up to this many rows */
    STORE_LOG_ROW = 100,     /* name (0, 50), Alarm_Id (50, 25), Time (75, 25) */
    STORE_HISTORY_ROW = 200  /* Starting_Time (0), Alarm_Id (50), End_Time (100), Source (150) */
};

/* type 0 input, 1 output, 2 bypass, 3 battery (six slots), 4 sensors (three slots).
 * CSV: data/upsdata.csv */
int GetUpsDataBase(const char* time_str, int curpage, int type, char* data);
/* CSV: data/battest.csv */
int GetBatTestDataBase(const char* time_str, int curpage, char* data);
/* num (0-4) series codes in data_type (1-25); slots past num, and missing parts
 * of a three-phase value, read "0". time_start/time_end are full time texts. */
int GetUpsChartDataBase(const char* time_start, const char* time_end, int num, const int* data_type,
                        char* data);
/* CSV: data/sms.csv */
int GetSmsDataBase(const char* time_str, int curpage, char* data);
/* CSV: data/email.csv */
int GetEmailDataBase(const char* time_str, int curpage, char* data);
/* type 0 all, 1 UPS faults, 2 web actions, 3 remote actions, 4 power states,
 * 5 battery. CSV: data/hisAlarm.csv */
int GetHistoryAlarmDataBase(int type, const char* time_str, int curpage, char* data);

/* Event texts (UTF-8) for a language (Module_Language 0-4): start texts of
 * numbers 0-199, end texts of numbers 0-79; "xxx" outside the tables. */
const char* StoreEventStartText(int language, int number);
const char* StoreEventEndText(int language, int number);

/* Deletes the rows of one log between two time texts (both included), under the
 * store's lock and with bound values. log_type as the web's ClearLog: 1 e-mail
 * log, 2 UPS data (ups_data and ths_data; the battery-test log stays), 3 history
 * alarms; 0 and other values delete nothing. Returns the rows deleted, or -1 on a
 * database error. */
int StoreClearLog(int log_type, const char* time_from, const char* time_to);
/* The same for the SMS log (sms_record). */
int StoreClearSmsLog(const char* time_from, const char* time_to);

#ifdef __cplusplus
}
#endif
#endif
