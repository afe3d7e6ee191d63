"""Test tool for the SOAP capture: serves a one-operation WSDL on GET and
answers every POST with a SOAP envelope. Arguments: HOST PORT [1.2] (SOAP
1.1 unless 1.2 is given: then the WSDL's binding, the envelope and the
content type are SOAP 1.2's)."""
import http.server
import sys

WSDL = b'''<?xml version="1.0" encoding="UTF-8"?>
<definitions xmlns="http://schemas.xmlsoap.org/wsdl/" xmlns:soap="http://schemas.xmlsoap.org/wsdl/soap/"
    xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:tns="urn:vesk-test" targetNamespace="urn:vesk-test">
  <types>
    <xsd:schema targetNamespace="urn:vesk-test" elementFormDefault="qualified">
      <xsd:element name="GetTime"><xsd:complexType><xsd:sequence/></xsd:complexType></xsd:element>
      <xsd:element name="GetTimeResponse"><xsd:complexType><xsd:sequence>
        <xsd:element name="time" type="xsd:string"/>
      </xsd:sequence></xsd:complexType></xsd:element>
    </xsd:schema>
  </types>
  <message name="GetTimeIn"><part name="parameters" element="tns:GetTime"/></message>
  <message name="GetTimeOut"><part name="parameters" element="tns:GetTimeResponse"/></message>
  <portType name="ClockPort">
    <operation name="GetTime"><input message="tns:GetTimeIn"/><output message="tns:GetTimeOut"/></operation>
  </portType>
  <binding name="ClockBinding" type="tns:ClockPort">
    <soap:binding style="document" transport="http://schemas.xmlsoap.org/soap/http"/>
    <operation name="GetTime">
      <soap:operation soapAction="urn:vesk-test#GetTime"/>
      <input><soap:body use="literal"/></input>
      <output><soap:body use="literal"/></output>
    </operation>
  </binding>
  <service name="Clock">
    <port name="ClockPort" binding="tns:ClockBinding"><soap:address location="%s"/></port>
  </service>
</definitions>
'''

ANSWER = (b'<?xml version="1.0" encoding="UTF-8"?>\n'
          b'<soap:Envelope xmlns:soap="http://schemas.xmlsoap.org/soap/envelope/">'
          b'<soap:Body><GetTimeResponse xmlns="urn:vesk-test"><time>12:00</time></GetTimeResponse>'
          b'</soap:Body></soap:Envelope>\n')


SOAP12 = len(sys.argv) > 3 and sys.argv[3] == "1.2"
if SOAP12:
    WSDL = WSDL.replace(b"http://schemas.xmlsoap.org/wsdl/soap/", b"http://schemas.xmlsoap.org/wsdl/soap12/")
    ANSWER = ANSWER.replace(b"http://schemas.xmlsoap.org/soap/envelope/", b"http://www.w3.org/2003/05/soap-envelope")
CONTENT_TYPE = "application/soap+xml; charset=utf-8" if SOAP12 else "text/xml; charset=utf-8"


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def reply(self, body, content_type="text/xml; charset=utf-8"):
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        self.reply(WSDL.replace(b"%s", ("http://%s/clock" % self.headers["Host"]).encode()))

    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", 0)))
        self.reply(ANSWER, CONTENT_TYPE)

    def log_message(self, *args):
        pass


http.server.HTTPServer((sys.argv[1], int(sys.argv[2])), Handler).serve_forever()
