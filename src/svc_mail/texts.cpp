/*
 * texts.cpp - what the mails say, in English, simplified Chinese, traditional
 * Chinese, Turkish and Portuguese, and which mask bit selects which alarm.
 *
 * The alarm tables are in alarm order (alarm number = alarm signal - 20000).
 * Numbers 0..23 are the UPS alarms, each with a category that opens its text
 * ("[Battery Status]", "[System Status]", "[Alarm]"); 38..53 are the four
 * sensor modules, four limits each, built from one pattern per limit. Texts
 * are UTF-8 here and converted for the wire when a message is written.
 */
#include "mail.hpp"

#include <cstdio>
#include <string>

namespace mail
{
namespace
{

constexpr int kUpsAlarms = 24;   // 0..23
constexpr int kSensorFirst = 38; // 38..53: module m at 38 + 4 (m - 1)
constexpr int kSensorLast = 53;
constexpr int kTemperatureBit = 24;
constexpr int kHumidityBit = 25;

enum Category { Battery, System, Alarm, Categories };

struct Row {
    Category category;
    const char* raised;
    const char* cleared;
};

constexpr const char* kCategories[Languages][Categories] = {
    {"[Battery Status]", "[System Status]", "[Alarm]"},
    {"[电池状态]", "[系统状态]", "[告警]"},
    {"[電池狀態]", "[系統狀態]", "[告警]"},
    {"[Akü Durumu]", "[Sistem Durumu]", "[Alarm]"},
    {"[Estado da Bateria]", "[Estado do Sistema]", "[Alarme]"},
};

constexpr Row kEnglish[kUpsAlarms] = {
    {Battery, "Battery fault", "Battery normal"},
    {System, "Battery powered", "The end of the battery powered"},
    {Battery, "Battery low", "Battery voltage normal"},
    {Battery, "Battery EOD", "Battery resume"},
    {Alarm, "Temperature overrun MAX-value", "Temperature normal"},
    {Alarm, "Input fault", "Input normal"},
    {Alarm, "Output fault", "Output normal"},
    {Alarm, "Load overrun MAX-value", "Load normal"},
    {System, "Bypass powered", "The end of the bypass powered"},
    {Alarm, "Bypass fault", "Bypass normal"},
    {Alarm, "The UPS output has shutdown as requested", "The UPS output not shutdown as requested"},
    {Alarm, "The entire UPS has shutdown as commanded", "The entire UPS not shutdown as commanded"},
    {Alarm, "Charger subsystem fault", "Charger subsystem normal"},
    {Alarm, "The output of the UPS is in the off state",
     "The output of the UPS is in the on state"},
    {Alarm, "The UPS system is in the off state", "The UPS system is in the on state"},
    {Alarm, "Fan fault", "Fan normal"},
    {Alarm, "Fuse fault", "Fuse normal"},
    {Alarm, "UPS fault", "UPS normal"},
    {Alarm, "Last diagnostic test failed", "Last diagnostic test success"},
    {Alarm, "Communications between the agent and the UPS fault",
     "Communications between the agent and the UPS normal"},
    {Alarm, "UPS is awaiting the return of input power",
     "UPS is not awaiting the return of input power"},
    {Alarm, "UPS shutdown after delay countdown is underway",
     "UPS shutdown after delay countdown is underway end"},
    {Alarm, "The UPS will turn off power to the load",
     "The UPS will not turn off power to the load"},
    {Battery, "A test is in progress", "A test is in progress end"},
};

constexpr Row kSimplified[kUpsAlarms] = {
    {Battery, "电池故障", "电池正常"},
    {System, "电池供电", "电池供电结束"},
    {Battery, "电池电压低", "电池电压正常"},
    {Battery, "电池放电终止", "电池恢复"},
    {Alarm, "温度超过上限", "温度正常"},
    {Alarm, "输入故障", "输入正常"},
    {Alarm, "输出故障", "输出正常"},
    {Alarm, "负载超过上限", "负载正常"},
    {System, "旁路供电", "旁路供电结束"},
    {Alarm, "旁路故障", "旁路正常"},
    {Alarm, "UPS输出已按要求关闭", "UPS输出未按要求关闭"},
    {Alarm, "UPS已按命令整机关闭", "UPS整机未按命令关闭"},
    {Alarm, "充电器故障", "充电器正常"},
    {Alarm, "UPS输出处于关闭状态", "UPS输出处于开启状态"},
    {Alarm, "UPS系统处于关闭状态", "UPS系统处于开启状态"},
    {Alarm, "风扇故障", "风扇正常"},
    {Alarm, "保险丝故障", "保险丝正常"},
    {Alarm, "UPS故障", "UPS正常"},
    {Alarm, "上次自检失败", "上次自检成功"},
    {Alarm, "监控卡与UPS通讯故障", "监控卡与UPS通讯正常"},
    {Alarm, "UPS正在等待输入电源恢复", "UPS不再等待输入电源恢复"},
    {Alarm, "UPS延时关机倒计时进行中", "UPS延时关机倒计时结束"},
    {Alarm, "UPS即将关闭负载供电", "UPS不会关闭负载供电"},
    {Battery, "正在进行测试", "测试结束"},
};

constexpr Row kTraditional[kUpsAlarms] = {
    {Battery, "電池故障", "電池正常"},
    {System, "電池供電", "電池供電結束"},
    {Battery, "電池電壓低", "電池電壓正常"},
    {Battery, "電池放電終止", "電池恢復"},
    {Alarm, "溫度超過上限", "溫度正常"},
    {Alarm, "輸入故障", "輸入正常"},
    {Alarm, "輸出故障", "輸出正常"},
    {Alarm, "負載超過上限", "負載正常"},
    {System, "旁路供電", "旁路供電結束"},
    {Alarm, "旁路故障", "旁路正常"},
    {Alarm, "UPS輸出已按要求關閉", "UPS輸出未按要求關閉"},
    {Alarm, "UPS已按命令整機關閉", "UPS整機未按命令關閉"},
    {Alarm, "充電器故障", "充電器正常"},
    {Alarm, "UPS輸出處於關閉狀態", "UPS輸出處於開啟狀態"},
    {Alarm, "UPS系統處於關閉狀態", "UPS系統處於開啟狀態"},
    {Alarm, "風扇故障", "風扇正常"},
    {Alarm, "保險絲故障", "保險絲正常"},
    {Alarm, "UPS故障", "UPS正常"},
    {Alarm, "上次自檢失敗", "上次自檢成功"},
    {Alarm, "監控卡與UPS通訊故障", "監控卡與UPS通訊正常"},
    {Alarm, "UPS正在等待輸入電源恢復", "UPS不再等待輸入電源恢復"},
    {Alarm, "UPS延時關機倒計時進行中", "UPS延時關機倒計時結束"},
    {Alarm, "UPS即將關閉負載供電", "UPS不會關閉負載供電"},
    {Battery, "正在進行測試", "測試結束"},
};

constexpr Row kTurkish[kUpsAlarms] = {
    {Battery, "Akü arızası", "Akü normal"},
    {System, "Aküden besleniyor", "Aküden besleme sona erdi"},
    {Battery, "Akü düşük", "Akü gerilimi normal"},
    {Battery, "Akü deşarj sonu", "Akü düzeldi"},
    {Alarm, "Sıcaklık üst sınırı aştı", "Sıcaklık normal"},
    {Alarm, "Giriş arızası", "Giriş normal"},
    {Alarm, "Çıkış arızası", "Çıkış normal"},
    {Alarm, "Yük üst sınırı aştı", "Yük normal"},
    {System, "Bypass'tan besleniyor", "Bypass'tan besleme sona erdi"},
    {Alarm, "Bypass arızası", "Bypass normal"},
    {Alarm, "UPS çıkışı istek üzerine kapatıldı", "UPS çıkışı istek üzerine kapatılmadı"},
    {Alarm, "UPS komut üzerine tamamen kapatıldı", "UPS komut üzerine kapatılmadı"},
    {Alarm, "Şarj ünitesi arızası", "Şarj ünitesi normal"},
    {Alarm, "UPS çıkışı kapalı durumda", "UPS çıkışı açık durumda"},
    {Alarm, "UPS sistemi kapalı durumda", "UPS sistemi açık durumda"},
    {Alarm, "Fan arızası", "Fan normal"},
    {Alarm, "Sigorta arızası", "Sigorta normal"},
    {Alarm, "UPS arızası", "UPS normal"},
    {Alarm, "Son tanılama testi başarısız", "Son tanılama testi başarılı"},
    {Alarm, "Ajan ile UPS arasında iletişim arızası", "Ajan ile UPS arasında iletişim normal"},
    {Alarm, "UPS giriş gücünün dönmesini bekliyor", "UPS giriş gücünü artık beklemiyor"},
    {Alarm, "UPS gecikmeli kapatma geri sayımı sürüyor", "UPS gecikmeli kapatma geri sayımı bitti"},
    {Alarm, "UPS yükün gücünü kesecek", "UPS yükün gücünü kesmeyecek"},
    {Battery, "Test sürüyor", "Test bitti"},
};

constexpr Row kPortuguese[kUpsAlarms] = {
    {Battery, "Falha da bateria", "Bateria normal"},
    {System, "Alimentado pela bateria", "Fim da alimentação pela bateria"},
    {Battery, "Bateria baixa", "Tensão da bateria normal"},
    {Battery, "Fim de descarga da bateria", "Bateria recuperada"},
    {Alarm, "Temperatura acima do valor máximo", "Temperatura normal"},
    {Alarm, "Falha de entrada", "Entrada normal"},
    {Alarm, "Falha de saída", "Saída normal"},
    {Alarm, "Carga acima do valor máximo", "Carga normal"},
    {System, "Alimentado pelo bypass", "Fim da alimentação pelo bypass"},
    {Alarm, "Falha do bypass", "Bypass normal"},
    {Alarm, "A saída do UPS foi desligada conforme solicitado",
     "A saída do UPS não foi desligada conforme solicitado"},
    {Alarm, "O UPS foi desligado por completo conforme comandado",
     "O UPS não foi desligado conforme comandado"},
    {Alarm, "Falha do carregador", "Carregador normal"},
    {Alarm, "A saída do UPS está desligada", "A saída do UPS está ligada"},
    {Alarm, "O sistema UPS está desligado", "O sistema UPS está ligado"},
    {Alarm, "Falha do ventilador", "Ventilador normal"},
    {Alarm, "Falha do fusível", "Fusível normal"},
    {Alarm, "Falha do UPS", "UPS normal"},
    {Alarm, "O último teste de diagnóstico falhou",
     "O último teste de diagnóstico foi bem-sucedido"},
    {Alarm, "Falha de comunicação entre o agente e o UPS",
     "Comunicação entre o agente e o UPS normal"},
    {Alarm, "O UPS aguarda o retorno da energia de entrada",
     "O UPS não aguarda mais o retorno da energia de entrada"},
    {Alarm, "Contagem para desligamento do UPS em curso",
     "Contagem para desligamento do UPS terminada"},
    {Alarm, "O UPS vai cortar a energia da carga", "O UPS não vai cortar a energia da carga"},
    {Battery, "Teste em andamento", "Teste concluído"},
};

constexpr const Row* kTables[Languages] = {kEnglish, kSimplified, kTraditional, kTurkish,
                                           kPortuguese};

// Sensor module patterns ("%d" is the module 1..4): raised texts of the four
// limits (temperature high, low, humidity high, low), then the cleared text of
// each quantity (high and low clear to the same text).
struct SensorTexts {
    const char* limits[4];
    const char* temperatureBack;
    const char* humidityBack;
};

constexpr SensorTexts kSensors[Languages] = {
    {{"[Alarm]Temperature and humidity module %d temperature is too high",
      "[Alarm]Temperature and humidity module %d temperature is too low",
      "[Alarm]Temperature and humidity module %d humidity is too high",
      "[Alarm]Temperature and humidity module %d humidity is too low"},
     "[Alarm]Temperature and humidity module %d temperature normal",
     "[Alarm]Temperature and humidity module %d humidity normal"},
    {{"[告警]温湿度模块%d温度过高", "[告警]温湿度模块%d温度过低", "[告警]温湿度模块%d湿度过高",
      "[告警]温湿度模块%d湿度过低"},
     "[告警]温湿度模块%d温度正常",
     "[告警]温湿度模块%d湿度正常"},
    {{"[告警]溫濕度模組%d溫度過高", "[告警]溫濕度模組%d溫度過低", "[告警]溫濕度模組%d濕度過高",
      "[告警]溫濕度模組%d濕度過低"},
     "[告警]溫濕度模組%d溫度正常",
     "[告警]溫濕度模組%d濕度正常"},
    {{"[Alarm]Sıcaklık ve nem modülü %d sıcaklığı çok yüksek",
      "[Alarm]Sıcaklık ve nem modülü %d sıcaklığı çok düşük",
      "[Alarm]Sıcaklık ve nem modülü %d nemi çok yüksek",
      "[Alarm]Sıcaklık ve nem modülü %d nemi çok düşük"},
     "[Alarm]Sıcaklık ve nem modülü %d sıcaklığı normal",
     "[Alarm]Sıcaklık ve nem modülü %d nemi normal"},
    {{"[Alarme]Módulo de temperatura e umidade %d com temperatura muito alta",
      "[Alarme]Módulo de temperatura e umidade %d com temperatura muito baixa",
      "[Alarme]Módulo de temperatura e umidade %d com umidade muito alta",
      "[Alarme]Módulo de temperatura e umidade %d com umidade muito baixa"},
     "[Alarme]Módulo de temperatura e umidade %d com temperatura normal",
     "[Alarme]Módulo de temperatura e umidade %d com umidade normal"},
};

// Mask bit of alarms 0..23, in alarm order.
constexpr int kUpsBits[kUpsAlarms] = {0,  3,  1,  2,  11, 6,  7,  12, 4,  5,  8,  9,
                                      21, 16, 17, 22, 23, 10, 14, 15, 20, 18, 19, 13};

struct Titles {
    const char* test;
    const char* raised;
    const char* cleared;
    const char* report;
};
constexpr Titles kTitles[Languages] = {
    {"test mail", "Alarm event", "Alarm disappears", "Daily Mail"},
    {"测试邮件", "告警事件", "告警消失", "每日邮件"},
    {"測試郵件", "告警事件", "告警消失", "每日郵件"},
    {"deneme postası", "olay uyarısı", "Alarm kayboluyor", "Günlük posta"},
    {"e-mail de teste", "alerta de evento", "O alarme desaparece", "Correio diário"},
};

constexpr const char* kLabels[Languages][3] = {
    {"System Name: ", "System Administrator: ", "System Location: "},
    {"系统名称: ", "系统管理员: ", "系统位置: "},
    {"系統名稱: ", "系統管理員: ", "系統位置: "},
    {"Sistem Adı: ", "Sistem Yöneticisi: ", "Sistem Konumu: "},
    {"Nome do Sistema: ", "Administrador do Sistema: ", "Local do Sistema: "},
};

constexpr const char* kTestBodies[Languages] = {
    "If you received this test mail,it means that your mail settings are corrrect",
    "如果您收到这封测试邮件，说明您的邮件设置正确",
    "如果您收到這封測試郵件，說明您的郵件設定正確",
    "Bu deneme postasını aldıysanız posta ayarlarınız doğrudur",
    "Se você recebeu este e-mail de teste, suas configurações de e-mail estão corretas",
};

int languageIndex(int language)
{
    return language >= 0 && language < Languages ? language : English;
}

std::string withModule(const char* pattern, int module)
{
    char buf[200];
    std::snprintf(buf, sizeof buf, pattern, module);
    return buf;
}

struct Table {
    std::string raised[kAlarmNumbers], cleared[kAlarmNumbers];
};

const Table& table(int language)
{
    static const auto tables = [] {
        std::array<Table, Languages> t;
        for (int l = 0; l < Languages; ++l) {
            for (int a = 0; a < kUpsAlarms; ++a) {
                const Row& r = kTables[l][a];
                t[l].raised[a] = std::string(kCategories[l][r.category]) + r.raised;
                t[l].cleared[a] = std::string(kCategories[l][r.category]) + r.cleared;
            }
            for (int a = kSensorFirst; a <= kSensorLast; ++a) {
                const int module = (a - kSensorFirst) / 4 + 1, limit = (a - kSensorFirst) % 4;
                const SensorTexts& s = kSensors[l];
                t[l].raised[a] = withModule(s.limits[limit], module);
                t[l].cleared[a] =
                    withModule(limit < 2 ? s.temperatureBack : s.humidityBack, module);
            }
        }
        return t;
    }();
    return tables[size_t(languageIndex(language))];
}

} // namespace

const char* title(int language, Kind kind)
{
    const Titles& t = kTitles[languageIndex(language)];
    switch (kind) {
    case Kind::Test:
        return t.test;
    case Kind::AlarmRaised:
        return t.raised;
    case Kind::AlarmCleared:
        return t.cleared;
    case Kind::DailyReport:
        return t.report;
    }
    return t.test;
}

const char* alarmText(int language, int alarm, bool cleared)
{
    if (maskBit(alarm) < 0) return nullptr;
    const Table& t = table(language);
    return (cleared ? t.cleared[alarm] : t.raised[alarm]).c_str();
}

int maskBit(int alarm)
{
    if (alarm >= 0 && alarm < kUpsAlarms) return kUpsBits[alarm];
    if (alarm < kSensorFirst || alarm > kSensorLast) return -1;
    return (alarm - kSensorFirst) % 4 < 2 ? kTemperatureBit : kHumidityBit;
}

const char* label(int language, Label which)
{
    return kLabels[languageIndex(language)][static_cast<int>(which)];
}

const char* testBody(int language)
{
    return kTestBodies[languageIndex(language)];
}

} // namespace mail
