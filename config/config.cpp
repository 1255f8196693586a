#include "config/config.h"

uint8_t intercom = 0;
uint16_t cycle_time_plus = 0;
uint8_t setupRegister0 = 0;
uint8_t RoomImit[kRoomCount] = {};
const char* file_settingName_p1 = nullptr;
const char* file_settingName_p2 = nullptr;
char file_settingName[256] = {};
