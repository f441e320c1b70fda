// chat_client: a terminal client for the chat server. Interactive at a
// terminal; posts its standard input when that is not a terminal; prints
// every record with --listen.
#include <clocale>
#include <csignal>
#include <langinfo.h>
#include <string>
#include <unistd.h>

#include "connection.hpp"
#include "i18n/i18n.hpp"
#include "modes.hpp"
#include "options.hpp"
#include "terminal/interrupts.hpp"

using namespace chat_client;

int main(int argc, char **argv)
{
    setlocale(LC_ALL, "");
    bind_message_catalogues();
    Options options = parse_options(argc, argv);
    chat::Codec codec;
    if (options.raw)
        codec.open_raw();
    else if (!codec.open(nl_langinfo(CODESET)))
        usage_error(_("this locale's character set cannot be converted to Shift_JIS; try --raw"));
    size_t replaced = 0;
    std::string name = codec.to_wire(options.name, &replaced);
    std::string problem = name_problem(name, replaced, codec);
    if (!problem.empty())
        usage_error(problem);
    chat::catch_interrupts();
    signal(SIGPIPE, SIG_IGN);
    bool interactive = !options.listen && isatty(0);
    chat::Style style = chat::choose_style(1, options.no_colour);
    Connection connection(codec, options.host, options.port);
    if (options.colour_given)
        connection.choose_colour(options.colour);
    connection.set_name(name);  // an automatic colour comes from the name as sent
    connection.connect();
    if (options.listen)
        return run_listen(connection, style);
    if (interactive)
        return run_interactive(connection, style);
    return run_script(connection);
}
