#include "tools/cli/cli_options.h"

#include <algorithm>
#include <string_view>

#include "veldoran/version.h"

namespace veldoran::cli {
namespace {

struct CommandSyntax {
  std::string_view name;
  int arguments;  // how many arguments the command takes
};

constexpr CommandSyntax kCommands[] = {
    {"ports", 0},      {"status", 0},       {"events", 0},       {"set-clock", 0},
    {"set-number", 1}, {"upload", 0},       {"watch", 0},        {"clear-events", 0},
    {"lockers", 0},    {"import-users", 1}, {"export-users", 1},
};

struct OptionSyntax {
  std::string_view name;
  bool takes_value;
  std::string_view command;  // the only command it belongs to; empty: every command
};

constexpr OptionSyntax kOptions[] = {
    {"--port", true, ""},
    {"--config", true, ""},
    {"--timeout", true, ""},
    {"--json", false, ""},
    {"--help", false, ""},
    {"-h", false, ""},
    {"--version", false, ""},
    {"--csv", true, "events"},
    {"--db", true, ""},
    {"--archive", false, "events"},
    {"--force", false, "clear-events"},
    {"--dry-run", false, "import-users"},
};

// The longest reply wait a user can ask for: ten minutes.
constexpr long kMaxTimeoutMs = 600'000;

std::string Quoted(std::string_view text) { return "„" + std::string(text) + "”"; }

std::string SetOption(const OptionSyntax& option, const std::string& value, CliOptions& options) {
  const std::string_view name = option.name;
  if (name == "--port") {
    const auto port = ParsePort(value);
    if (!port) return "Nieprawidłowy port " + Quoted(value) + ": podaj COM1 do COM65535.";
    options.port = *port;
  } else if (name == "--config") {
    if (value.empty()) return "Opcja --config wymaga nazwy pliku.";
    options.config = value;
  } else if (name == "--timeout") {
    const auto ms = ParseNumber(value, 1, kMaxTimeoutMs);
    if (!ms) {
      return "Nieprawidłowy czas oczekiwania " + Quoted(value) +
             ": podaj liczbę milisekund od 1 do 600000.";
    }
    options.timeout = std::chrono::milliseconds(*ms);
  } else if (name == "--json") {
    options.json = true;
  } else if (name == "--help" || name == "-h") {
    options.help = true;
  } else if (name == "--version") {
    options.version = true;
  } else if (name == "--db") {
    if (value.empty()) return "Opcja --db wymaga nazwy pliku.";
    options.db = value;
  } else if (name == "--archive") {
    options.archive = true;
  } else if (name == "--force") {
    options.force = true;
  } else if (name == "--dry-run") {
    options.dry_run = true;
  } else if (name == "--csv") {
    if (value.empty()) return "Opcja --csv wymaga nazwy pliku.";
    options.csv = value;
  }
  return {};
}

}  // namespace

std::optional<long> ParseNumber(const std::string& text, long min, long max) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < min || value > max) return std::nullopt;
  return value;
}

std::optional<std::uint16_t> ParsePort(const std::string& text) {
  std::string digits = text;
  if (digits.size() > 3 && (digits[0] == 'C' || digits[0] == 'c') &&
      (digits[1] == 'O' || digits[1] == 'o') && (digits[2] == 'M' || digits[2] == 'm')) {
    digits.erase(0, 3);
  }
  const auto number = ParseNumber(digits, 1, 65535);
  if (!number) return std::nullopt;
  return static_cast<std::uint16_t>(*number);
}

std::string ParseCommandLine(const std::vector<std::string>& args, CliOptions& options) {
  std::vector<std::pair<const OptionSyntax*, std::string>> given;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() > 1 && arg[0] == '-') {
      const std::size_t equals = arg.find('=');
      const std::string name = arg.substr(0, equals);
      const auto* option = std::find_if(std::begin(kOptions), std::end(kOptions),
                                        [&](const OptionSyntax& o) { return o.name == name; });
      if (option == std::end(kOptions)) return "Nieznana opcja " + Quoted(name) + ".";
      std::string value;
      if (option->takes_value) {
        if (equals != std::string::npos) {
          value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
          value = args[++i];
        } else {
          return "Opcja " + name + " wymaga wartości.";
        }
      } else if (equals != std::string::npos) {
        return "Opcja " + name + " nie przyjmuje wartości.";
      }
      given.emplace_back(option, value);
    } else if (options.command.empty()) {
      options.command = arg;
    } else {
      options.arguments.push_back(arg);
    }
  }
  for (const auto& [option, value] : given) {
    if (std::string error = SetOption(*option, value, options); !error.empty()) return error;
  }
  if (options.help || options.version) return {};
  if (options.command.empty()) return "Nie podano polecenia.";
  const auto* command =
      std::find_if(std::begin(kCommands), std::end(kCommands),
                   [&](const CommandSyntax& c) { return c.name == options.command; });
  if (command == std::end(kCommands)) return "Nieznane polecenie " + Quoted(options.command) + ".";
  for (const auto& [option, value] : given) {
    if (!option->command.empty() && option->command != options.command) {
      return "Opcja " + std::string(option->name) + " należy do polecenia " +
             std::string(option->command) + ".";
    }
  }
  if (static_cast<int>(options.arguments.size()) != command->arguments) {
    if (command->arguments == 0) {
      return "Polecenie " + options.command + " nie przyjmuje argumentów (podano " +
             Quoted(options.arguments.front()) + ").";
    }
    return "Polecenie " + options.command + " wymaga " + std::to_string(command->arguments) +
           " argumentu.";
  }
  return {};
}

}  // namespace veldoran::cli

namespace veldoran::cli {

std::string UsageText() {
  return R"(Użycie: veldoran-cli [opcje] POLECENIE [argumenty]
Obsługa kontrolera szafek z wiersza poleceń, bez okna.

Polecenia:
  ports              porty COM obecne w systemie, z opisem i urządzeniem
  status             numer kontrolera, jego zegar i liczba zapisanych zdarzeń
  events [--csv PLIK] [--archive]
                     odczyt wszystkich zdarzeń; z --csv zapis do pliku CSV
                     w układzie eksportu okna (NAZWISKO;IMIĘ;DATA;CZAS;...);
                     z --archive pełny odczyt trafia też do historii (Veldoran.db)
  set-clock          ustawia zegar kontrolera na czas komputera
  set-number N       programuje numer kontrolera (szafki) N, od 1 do 10
  upload             przesyła kody kart ważne dla podłączonej szafki
                     (użytkownicy z Config.ini) i ustawia zegar; wynik
                     trafia do Veldoran.db
  watch              wypisuje odczyty kart i zmiany stanu kontrolera na bieżąco,
                     aż do przerwania (Ctrl-C)
  clear-events [--force]
                     kasuje pamięć zdarzeń kontrolera; odmawia, gdy kontroler
                     ma zdarzenia, których nie ma w historii (chyba że --force)
  lockers            czy szafki mają karty, które dałaby im teraz lista
                     użytkowników (aktualne, nieaktualne, nieznane)
  import-users PLIK [--dry-run]
                     wczytuje użytkowników z pliku CSV do Config.ini; z --dry-run
                     tylko pokazuje, co by się zmieniło
  export-users PLIK  zapisuje użytkowników z Config.ini do pliku CSV

Opcje:
  --port COMn        port kontrolera (domyślnie port wybrany ostatnio w oknie,
                     [Port] ComPortNo w Config.ini, a bez niego COM1)
  --config PLIK      plik Config.ini (domyślnie Config.ini w bieżącym folderze)
  --db PLIK          baza obiektu (domyślnie Veldoran.db obok pliku Config.ini)
  --timeout MS       jak długo czekać na odpowiedź kontrolera lub na jej dalszą
                     część, w milisekundach (domyślnie 2000)
  --json             wynik jako jeden obiekt JSON na polecenie (watch: jeden
                     obiekt w wierszu na zdarzenie)
  --help, -h         ten tekst
  --version          wersja programu

Kody wyjścia:
  0    wykonano
  1    kontroler odpowiedział błędnie albo wcale, lub port zniknął w trakcie;
       clear-events: kontroler ma zdarzenia, których nie ma w historii
  2    błędne wywołanie
  3    nie można otworzyć portu (zajęty, nie istnieje, brak uprawnień;
       na Linuksie dostęp daje grupa portu, zwykle dialout)
  4    nie można odczytać lub zapisać pliku
  130  przerwano (Ctrl-C)
)";
}

}  // namespace veldoran::cli

namespace veldoran::cli {

std::string VersionText() { return std::string("veldoran-cli ") + kVersion; }

}  // namespace veldoran::cli
