#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QMap>
#include <QString>
#include <QStringList>

#include <DataType.h>

#include <optional>
#include <vector>

namespace sim {

// Type codes as they travel in bytes 22..23; a bit is code 0.
enum class VarType : quint16 {
    Bit = modZeva::kBitCode,
    Byte = modZeva::Byte,
    Word = modZeva::Word,
    DWord = modZeva::DWord,
    LWord = modZeva::LWord,
};

// Data bytes of a type on the wire: a bit travels as one byte, 0 or 1.
int varSize(VarType type);

struct NamedVariable {
    QByteArray name;      // matched byte for byte as received
    VarType type = VarType::Word;
    bool readOnly = false;
    QByteArray initial;   // least significant byte first; zero-filled to the type's size
};

// Misbehaviour on demand, to test how a client copes.
struct Faults {
    std::optional<int> delayMs;       // wait before each answer
    int dropPercent = 0;              // share of requests carried out but not answered, 0..100
    std::optional<quint16> seqOffset; // answers carry the request's bytes 14..15 plus this
    std::optional<int> splitMs;       // each TCP answer in two writes this far apart
    std::optional<int> truncate;      // send only the first K bytes of each answer
    std::optional<int> closeAfter;    // close a TCP connection after N answers
    QMap<QByteArray, quint16> errors; // variable name -> error code to answer with
    std::optional<quint16> statusError; // answer every status request with this code
    bool stateCount = false;          // the state word counts up with each answer
    bool flood = false;               // TCP: after a request, answers with number 0 without pause
};

// How a variable changes by itself, at each read of it.
struct Animation {
    enum Kind {
        Counter, // the first read gives the value held, each later read one more
        Random,  // a new value at each read
        Sine,    // a sine over the type's unsigned range, by the clock
        Ramp,    // rises from 0 to the type's maximum once a period, by the clock
    } kind = Counter;
    int periodMs = 10000; // Sine and Ramp
};

std::vector<NamedVariable> defaultVariables();
QByteArray defaultStatusData();

struct Config {
    QHostAddress bind = QHostAddress::LocalHost;
    quint16 tcpPort = 2004;
    quint16 udpPort = 2005;
    int devices = 1;                       // on consecutive ports from tcpPort and udpPort, or free ones for 0
    quint16 stateWord = 0;                 // bytes 10..11 of every answer
    QByteArray statusData = defaultStatusData(); // 20 bytes, byte 30 of the answer first
    std::vector<NamedVariable> variables = defaultVariables();
    Faults faults;
    // Keyed by a variable's name, or by a direct address as
    // %<area><type><index> with the index in decimal without leading zeros.
    QMap<QByteArray, Animation> animations;
    std::optional<quint32> seed;           // for the drop fault and random values; random when absent
    int maxConnections = 64;               // TCP connections served at once; more are closed at once
    int idleTimeoutS = 300;                // close a connection silent this long; 0 = never
    bool verbose = false;
    // Commands on standard input and their answers on standard output, for
    // tests that run the simulator as a separate process (main.cpp).
    bool control = false;
};

// What a command line asks for: a run with its settings, a text to print,
// or nothing because an argument is wrong.
struct CommandLine {
    enum Action { Run, Help, Version, Error } action = Run;
    Config config;  // with Run
    QString error;  // with Error: one line naming the argument
};

// args as QCoreApplication::arguments() gives them, program name first.
CommandLine parseCommandLine(const QStringList& args);
// The settings of a run; nullopt and the one-line message in *error for a
// bad argument, and for --help and --version, which start no run.
std::optional<Config> parseArguments(const QStringList& args, QString* error = nullptr);
QString helpText();

} // namespace sim
