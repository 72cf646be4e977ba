#include "automation/descriptions.h"

namespace vexon {

namespace {

const char* const kAccessViolation[] = {" - пропуск ЗАПРЕЩЕН", " - СТОП-ЛИСТ",      " - НЕ СИСТЕМНЫЙ пропуск",
                                        " - КОМИССИОНИРОВАНИЕ", " - ВРЕМЯ",         " - РКД",
                                        " - МЕСТОПОЛОЖЕНИЕ",    " - ПО КОМАНДЕ ОХРАНЫ"};
const char* const kAccessMode[] = {" - ОТКРЫТО", " - АВТОНОМНЫЙ КОНТРОЛЬ", " - СИСТЕМНЫЙ КОНТРОЛЬ", " - ОХРАНА",
                                   " - ЗАКРЫТО"};

// A text chosen by EventAdd 0 or 1; anything else leaves the default.
std::string ByFlag(uint8_t add, const char* zero, const char* one) {
  if (add == 0) return zero;
  if (add == 1) return one;
  return "Неизвестное событие";
}

}  // namespace

std::string GetRegEventDescription(uint8_t type, uint8_t event) {
  switch (type) {
    case 1:
      switch (event) {
        case 0: return "Попытка доступа";
        case 1: return "Проход";
        case 2: return "Проход с подтверждением по времени";
        case 3: return "Проход с подтверждением по местоположению";
        case 8: return "Отказ в доступе,запрещена";
        case 9: return "Отказ в доступе,включена в стоп-лист";
        case 10: return "Отказ в доступе,не системная";
        case 11: return "Отказ в доступе,нарушение комиссионирования";
        case 12: return "Отказ в доступе,несоответствие режиму времени";
        case 13: return "Отказ в доступе,несоответствие форме допуска";
        case 14: return "Отказ в доступе,нарушение местоположения";
        case 15: return "Отказ в доступе,по команде охраника";
        default: return "Неизвестное событие типа 1";
      }
    case 2:
      switch (event) {
        case 0: return "Смена РКД: Открыто";
        case 1: return "Смена РКД: Автономный контроль";
        case 2: return "Смена РКД: Системный контроль";
        case 3: return "Смена РКД: Охрана";
        case 4: return "Смена РКД: Закрыто";
        default: return "Неизвестное событие типа 2";
      }
    case 3:
      switch (event) {
        case 1: return "Активизация входа";
        case 2: return "Активизация выхода";
        case 3: return "Сброс входа";
        case 4: return "Сброс выхода";
        default: return "Неизвестное событие типа 3";
      }
    case 5:
      switch (event) {
        case 1: return "Включение питания";
        case 2: return "Выключение питания";
        case 3: return "Переполнение журнала событий";
        case 4: return "Очистка журнала событий";
        case 5: return "Авария сети";
        case 6: return "Восстановление сети";
        case 7: return "Авария аккумулятора";
        case 8: return "Восстановление аккумулятора";
        case 9: return "Нарушение связи с первичным контроллером";
        case 10: return "Восстановление связи с первичным контроллером";
        case 11: return "Нарушение связи с драйвером";
        case 12: return "Восстановление связи с драйвером";
        default: return "Неизвестное событие типа 5";
      }
    case 255:
      return "Неизвестное событие";
    default:
      return "Событие неизвестного типа";
  }
}

std::string GetMonEventDescription(uint8_t code, uint8_t add) {
  switch (code) {
    case 1:
      if (add == 1) return "Запрос на проход - ВРЕМЯ";
      if (add == 2) return "Запрос на проход - МЕСТОПОЛОЖЕНИЕ";
      if (add == 3) return "запрос на смену РКД";
      return "Запрос на проход";
    case 2:
    case 3: {
      std::string t = code == 2 ? "ТРЕВОГА по нарушению РКД" : "Нарушение РКД";
      if (add < 8) t += kAccessViolation[add];
      return t;
    }
    case 4:
    case 5: {
      std::string t = code == 4 ? "Автономная смена РКД" : "Системная смена РКД";
      if (add < 5) t += kAccessMode[add];
      return t;
    }
    case 6:
      if (add == 0) return "ТРЕВОГА - ВЗЛОМ!";
      if (add == 1) return "ТРЕВОГА - ОТКРЫТО СЛИШКОМ ДОЛГО";
      return "ТРЕВОГА";
    case 7: return ByFlag(add, "Заблокировано", "Разблокировано");
    case 8: return "ТРЕВОГА ПО АКТИВИЗАЦИИ ВХОДА";
    case 9: return "Активизация входа";
    case 10: return "Сброс входа";
    case 11: return "Активизация выхода";
    case 12: return "Сброс выхода";
    case 13: return ByFlag(add, "Нарушение связи", "Восстановление связи");
    case 14: return ByFlag(add, "Восстановление связи", "Нарушение связи");
    case 15: return ByFlag(add, "Переполнение журнала регистрации", "Очистка журнала регистрации");
    case 16: return ByFlag(add, "ВОССТАНОВЛЕНИЕ СЕТЕВОГО ПИТАНИЯ", "АВАРИЯ СЕТЕВОГО ПИТАНИЯ");
    case 17: return ByFlag(add, "ВОССТАНОВЛЕНИЕ АККУМУЛЯТОРН. ПИТАНИЯ", "АВАРИЯ АККУМУЛЯТОРА");
    case 18: return ByFlag(add, "ВОССТАНОВЛЕНИЕ КОНФИГУРАЦИИ", "НАРУШЕНИЕ КОНФИГУРАЦИИ");
    case 19: return "Сброс тревоги (по команде оператора)";
    case 20: return "ТРЕВОГА (по команде оператора)";
    case 100: return "Предъявлена карта охранника";
    default: return "Неизвестное событие";
  }
}

}  // namespace vexon
