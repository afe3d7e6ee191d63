#!/usr/bin/env escript
%% A Megaco peer on Erlang/OTP's megaco application, for the captures:
%%   megaco_peer.escript mgc MY_IP MY_PORT ENCODING SECONDS
%%                                                   answers service changes
%%   megaco_peer.escript mg MY_IP MY_PORT MGC_IP MGC_PORT ENCODING
%%                                                   registers once and stops
%% ENCODING is "pretty" or "compact" (the text encodings).
-mode(compile).
-include_lib("megaco/include/megaco.hrl").
-include_lib("megaco/include/megaco_message_v1.hrl").
-export([main/1]).
-export([handle_connect/2, handle_disconnect/3, handle_syntax_error/3, handle_message_error/3,
         handle_trans_request/3, handle_trans_long_request/3, handle_trans_reply/4, handle_trans_ack/4,
         handle_unexpected_trans/3, handle_trans_request_abort/4]).

encoder("pretty") -> megaco_pretty_text_encoder;
encoder("compact") -> megaco_compact_text_encoder.

transport(Mid, Port, Encoding) ->
    ok = megaco:start_user(Mid, [{user_mod, ?MODULE}, {user_args, []}]),
    RH0 = megaco:user_info(Mid, receive_handle),
    RH = RH0#megaco_receive_handle{send_mod = megaco_udp, encoding_mod = encoder(Encoding), encoding_config = []},
    {ok, Sup} = megaco_udp:start_transport(),
    {ok, Handle, Ctrl} = megaco_udp:open(Sup, [{port, Port}, {receive_handle, RH}]),
    {RH, Handle, Ctrl}.

mid(Ip, Port) ->
    {ok, {A, B, C, D}} = inet:parse_address(Ip),
    {ip4Address, #'IP4Address'{address = [A, B, C, D], portNumber = list_to_integer(Port)}}.

main(["mgc", MyIp, MyPort, Encoding, Seconds]) ->
    ok = megaco:start(),
    transport(mid(MyIp, MyPort), list_to_integer(MyPort), Encoding),
    timer:sleep(1000 * list_to_integer(Seconds));
main(["mg", MyIp, MyPort, MgcIp, MgcPort, Encoding]) ->
    ok = megaco:start(),
    {RH, Handle, Ctrl} = transport(mid(MyIp, MyPort), list_to_integer(MyPort), Encoding),
    {ok, Mgc} = inet:parse_address(MgcIp),
    Send = megaco_udp:create_send_handle(Handle, Mgc, list_to_integer(MgcPort)),
    {ok, Conn} = megaco:connect(RH, preliminary_mid, Send, Ctrl),
    Parm = #'ServiceChangeParm'{serviceChangeMethod = restart, serviceChangeReason = [?megaco_cold_boot]},
    Req = #'ServiceChangeRequest'{terminationID = [?megaco_root_termination_id], serviceChangeParms = Parm},
    Action = #'ActionRequest'{contextId = ?megaco_null_context_id,
                              commandRequests = [#'CommandRequest'{command = {serviceChangeReq, Req}}]},
    io:format("~p~n", [megaco:call(Conn, [Action], [])]).

handle_connect(_Conn, _Version) -> ok.
handle_disconnect(_Conn, _Version, _Reason) -> ok.
handle_syntax_error(_Handle, _Version, _Error) -> reply.
handle_message_error(_Conn, _Version, _Error) -> no_reply.
handle_trans_request(_Conn, _Version, Actions) ->
    Replies = [#'ActionReply'{contextId = Ctx,
                              commandReply = [{serviceChangeReply,
                                               #'ServiceChangeReply'{terminationID = Tid,
                                                                     serviceChangeResult =
                                                                         {serviceChangeResParms,
                                                                          #'ServiceChangeResParm'{}}}}
                                              || #'CommandRequest'{command = {serviceChangeReq,
                                                                              #'ServiceChangeRequest'{terminationID = Tid}}}
                                                     <- Cmds]}
               || #'ActionRequest'{contextId = Ctx, commandRequests = Cmds} <- Actions],
    {discard_ack, Replies}.
handle_trans_long_request(_Conn, _Version, _Data) -> {discard_ack, []}.
handle_trans_reply(_Conn, _Version, _Result, _Data) -> ok.
handle_trans_ack(_Conn, _Version, _Status, _Data) -> ok.
handle_unexpected_trans(_Conn, _Version, _Trans) -> ok.
handle_trans_request_abort(_Conn, _Version, _Tid, _Pid) -> ok.
