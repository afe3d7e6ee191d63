// Test tool for the JRMI capture: a registry on the port given, with one
// name bound, kept up until the recipe stops it.
import java.rmi.Remote;
import java.rmi.registry.LocateRegistry;
import java.rmi.registry.Registry;
import java.rmi.server.UnicastRemoteObject;

public class RegistryServer {
    public interface Clock extends Remote {}

    static class ClockImpl implements Clock {}

    public static void main(String[] args) throws Exception {
        Registry r = LocateRegistry.createRegistry(Integer.parseInt(args[0]));
        ClockImpl clock = new ClockImpl();
        r.rebind("clock", UnicastRemoteObject.exportObject(clock, 0));
        System.out.println("ready");
        Thread.sleep(60000);
        System.exit(0);
    }
}
