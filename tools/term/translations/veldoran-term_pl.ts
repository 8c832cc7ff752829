<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="pl_PL" sourcelanguage="en">
<context>
    <name>veldoran::term::TermWindow</name>
    <message>
        <source>%1 closed</source>
        <translation>%1 zamknięty</translation>
    </message>
    <message>
        <source>%1 closed: the line went away (adapter unplugged?)</source>
        <translation>%1 zamknięty: linia zniknęła (odłączony adapter?)</translation>
    </message>
    <message>
        <source>%1 open</source>
        <translation>%1 otwarty</translation>
    </message>
    <message>
        <source>Baud</source>
        <translation>Prędkość</translation>
    </message>
    <message>
        <source>CD</source>
        <translation>CD</translation>
    </message>
    <message>
        <source>CTS</source>
        <translation>CTS</translation>
    </message>
    <message>
        <source>Clear</source>
        <translation>Wyczyść</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Zamknij</translation>
    </message>
    <message>
        <source>DSR</source>
        <translation>DSR</translation>
    </message>
    <message>
        <source>Data bits</source>
        <translation>Bity danych</translation>
    </message>
    <message>
        <source>Echo</source>
        <translation>Echo</translation>
    </message>
    <message>
        <source>Even</source>
        <translation>Parzysta</translation>
    </message>
    <message>
        <source>Flow control</source>
        <translation>Sterowanie przepływem</translation>
    </message>
    <message>
        <source>Mark</source>
        <translation>Zawsze 1</translation>
    </message>
    <message>
        <source>None</source>
        <translation>Brak</translation>
    </message>
    <message>
        <source>Odd</source>
        <translation>Nieparzysta</translation>
    </message>
    <message>
        <source>Open a port and type here: what you type is sent.</source>
        <translation>Otwórz port i pisz tutaj: to, co wpiszesz, zostanie wysłane.</translation>
    </message>
    <message>
        <source>Open</source>
        <translation>Otwórz</translation>
    </message>
    <message>
        <source>Parity</source>
        <translation>Parzystość</translation>
    </message>
    <message>
        <source>Port settings</source>
        <translation>Ustawienia portu</translation>
    </message>
    <message>
        <source>Port</source>
        <translation>Port</translation>
    </message>
    <message>
        <source>RI</source>
        <translation>RI</translation>
    </message>
    <message>
        <source>RTS/CTS</source>
        <translation>RTS/CTS</translation>
    </message>
    <message>
        <source>Read PnP id</source>
        <translation>Odczytaj identyfikator PnP</translation>
    </message>
    <message>
        <source>Save settings</source>
        <translation>Zapis ustawień</translation>
    </message>
    <message>
        <source>Space</source>
        <translation>Zawsze 0</translation>
    </message>
    <message>
        <source>Stop bits</source>
        <translation>Bity stopu</translation>
    </message>
    <message>
        <source>Stored settings not loaded: %1</source>
        <translation>Nie wczytano zapisanych ustawień: %1</translation>
    </message>
    <message>
        <source>Test connection</source>
        <translation>Test połączenia</translation>
    </message>
    <message>
        <source>The device answered with DSR.</source>
        <translation>Urządzenie odpowiedziało sygnałem DSR.</translation>
    </message>
    <message>
        <source>The device sent no identification.</source>
        <translation>Urządzenie nie przesłało identyfikatora.</translation>
    </message>
    <message>
        <source>Veldoran terminal</source>
        <translation>Terminal Veldoran</translation>
    </message>
    <message>
        <source>XON/XOFF</source>
        <translation>XON/XOFF</translation>
    </message>
</context>
</TS>
