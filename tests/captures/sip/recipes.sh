# Recipes for the SIP captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop).
RECIPES+=(sip/sip sip/sip_imsi)

# A sipp scenario for one call (INVITE, ACK, BYE) from the user $1 to the
# user sipp calls with -s; its From carries the user in a sip: URI.
sip_uac_scenario() {
  cat <<XML
<?xml version="1.0" encoding="ISO-8859-1" ?>
<scenario name="call from $1">
  <send retrans="500">
    <![CDATA[
      INVITE sip:[service]@[remote_ip]:[remote_port] SIP/2.0
      Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]
      From: <sip:$1@[local_ip]>;tag=vesk[call_number]
      To: <sip:[service]@[remote_ip]:[remote_port]>
      Call-ID: [call_id]
      CSeq: 1 INVITE
      Contact: sip:$1@[local_ip]:[local_port]
      Max-Forwards: 70
      Content-Type: application/sdp
      Content-Length: [len]

      v=0
      o=user1 53655765 2353687637 IN IP[local_ip_type] [local_ip]
      s=-
      c=IN IP[media_ip_type] [media_ip]
      t=0 0
      m=audio [media_port] RTP/AVP 0
      a=rtpmap:0 PCMU/8000
    ]]>
  </send>
  <recv response="100" optional="true"/>
  <recv response="180" optional="true"/>
  <recv response="200" rtd="true"/>
  <send>
    <![CDATA[
      ACK sip:[service]@[remote_ip]:[remote_port] SIP/2.0
      Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]
      From: <sip:$1@[local_ip]>;tag=vesk[call_number]
      To: <sip:[service]@[remote_ip]:[remote_port]>[peer_tag_param]
      Call-ID: [call_id]
      CSeq: 1 ACK
      Contact: sip:$1@[local_ip]:[local_port]
      Max-Forwards: 70
      Content-Length: 0

    ]]>
  </send>
  <pause milliseconds="200"/>
  <send retrans="500">
    <![CDATA[
      BYE sip:[service]@[remote_ip]:[remote_port] SIP/2.0
      Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]
      From: <sip:$1@[local_ip]>;tag=vesk[call_number]
      To: <sip:[service]@[remote_ip]:[remote_port]>[peer_tag_param]
      Call-ID: [call_id]
      CSeq: 2 BYE
      Contact: sip:$1@[local_ip]:[local_port]
      Max-Forwards: 70
      Content-Length: 0

    ]]>
  </send>
  <recv response="200" crlf="true"/>
</scenario>
XML
}

# sipp's built-in server (uas, answering OPTIONS too) and client (uac, one
# call) over UDP on 5060, on the port of no meaning 15060 and over TCP on
# 5060; sipsak's OPTIONS ping to the first server.
record_sip() {
  setup 1500
  start_s sipp -sn uas -i "$SRV4" -p 5060 -aa -nostdin -timeout 40s
  local uas1=${PIDS[-1]}
  start_s sipp -sn uas -i "$SRV4" -p 15060 -nostdin -timeout 40s
  local uas2=${PIDS[-1]}
  start_s sipp -sn uas -i "$SRV4" -p 5060 -t t1 -nostdin -timeout 40s
  local uas3=${PIDS[-1]}
  wait_port u 5060
  wait_port u 15060
  wait_port t 5060
  capture_start sip
  in_c timeout 15 sipp -sn uac "$SRV4:5060" -i "$CLI4" -p 41060 -m 1 -nostdin -timeout 10s > /dev/null 2>&1 || true
  in_c timeout 15 sipp -sn uac "$SRV4:15060" -i "$CLI4" -p 41061 -m 1 -nostdin -timeout 10s > /dev/null 2>&1 || true
  in_c timeout 15 sipp -sn uac "$SRV4:5060" -i "$CLI4" -p 41062 -t t1 -m 1 -nostdin -timeout 10s > /dev/null 2>&1 || true
  in_c timeout 10 sipsak -s "sip:x@$SRV4" > /dev/null 2>&1 || true
  capture_stop sip
  stop_pid "$uas1"
  stop_pid "$uas2"
  stop_pid "$uas3"
  teardown
}

# The same server with clients whose users are IMSIs: 15 digits in From
# and To, then 16 digits (no IMSI).
record_sip_imsi() {
  setup 1500
  sip_uac_scenario 001010123456789 > "$WORK/imsi15.xml"
  sip_uac_scenario 0010101234567890 > "$WORK/imsi16.xml"
  start_s sipp -sn uas -i "$SRV4" -p 5060 -nostdin -timeout 40s
  local uas=${PIDS[-1]}
  wait_port u 5060
  capture_start sip_imsi
  in_c timeout 15 sipp -sf "$WORK/imsi15.xml" -s 001019876543210 "$SRV4:5060" -i "$CLI4" -p 41070 -m 1 \
    -nostdin -timeout 10s > /dev/null 2>&1 || true
  in_c timeout 15 sipp -sf "$WORK/imsi16.xml" -s 0010198765432100 "$SRV4:5060" -i "$CLI4" -p 41071 -m 1 \
    -nostdin -timeout 10s > /dev/null 2>&1 || true
  capture_stop sip_imsi
  stop_pid "$uas"
  teardown
}
